// The one result of the collection methods' decoders and line parsers
// (payload, frame and header decoders, the syslog line parsers and the
// hardware address reader): a decoder never ends the process or logs; it
// fills its record and says `taken`, or leaves the input to its caller with
// `refused` (undecodable bytes, or a line that is not this parser's).
#pragma once

enum class parse_result {
    taken,    // decoded: the record is filled (a parser: the line was handled)
    refused,  // not decoded; for a syslog parser, offered to the next handler
};
