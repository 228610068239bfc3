// The configuration parser's forms for a text held in a stream. Files are
// read into memory and parsed with the forms of config_parser.h; these live
// apart so that a program that only reads files never links iostreams.
// Properties::load(std::istream &) and Properties::dump(std::ostream &) are
// defined with them.
#pragma once

#include <istream>
#include <list>
#include <string>

namespace hlx {
namespace config {

// True when nothing is left to read, or the stream failed.
bool atEndOfStream(std::istream &in);
// readLogicalLine() of config_parser.h, reading from a stream.
void readLogicalLine(std::istream &in, std::string &line, bool skipComments);
// readListFile() of config_parser.h, reading from a stream.
std::list<std::string> readListFile(std::istream &in);

} // namespace config
} // namespace hlx
