message(STATUS "native later")
