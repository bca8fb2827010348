// The reference model of the dataset line reader, shared by its tests and its
// fuzz target: the pieces between '\n' in reading order, each less one
// trailing '\r'; the empty piece at the far end of the reading direction is
// no line.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "toolkit/dsreader.h"

inline std::vector<std::string> dsreader_model_pieces(const std::string& content, int direction)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t nl = content.find('\n', start);
        if (nl == std::string::npos) {
            pieces.push_back(content.substr(start));
            break;
        }
        pieces.push_back(content.substr(start, nl - start));
        start = nl + 1;
    }
    if (direction == DSREADER_BACKWARD) {
        std::reverse(pieces.begin(), pieces.end());
    }
    if (pieces.back().empty()) {
        pieces.pop_back();
    }
    for (std::string& p : pieces) {
        if (!p.empty() && p.back() == '\r') {
            p.pop_back();
        }
    }
    return pieces;
}
