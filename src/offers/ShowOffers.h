#ifndef VORLA_OFFERS_SHOWOFFERS_H
#define VORLA_OFFERS_SHOWOFFERS_H

// The maker's offers page. Only the host is ours to choose; scheme and path are fixed.
extern const char kOffersAddress[];

// Opens the offers page with the user's default web handler and stamps the time, unless the
// check-state key records the printer agent as installed. A page that fails to open is still
// stamped, so a broken handler costs one page a week, not one an hour.
void ShowOffers();

#endif
