// The identifiers are defined once in the stand-in library; nothing to switch on here.
