// Address specifications "host/port[/ttl]".
#ifndef CONFREC_HPT_H
#define CONFREC_HPT_H

#include <string>

#include "args.h"

// Numbers are read as the tools read start offsets.
using rtptools::TextToInt;

// Takes "host/port[/ttl]" apart. The host is cut out in place: the first '/'
// of `spec` becomes NUL. On success (0) `port` holds the port as a decimal
// text and, when `ttl` is given and the argument carries a TTL, `*ttl`
// holds it the same way. Returns -1 when there is no '/' (nothing changed),
// -2 when the port is odd (the host is already cut out).
int hpt(char* spec, std::string& port, std::string* ttl);

#endif
