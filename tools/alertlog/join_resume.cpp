#include "tools/alertlog/join_resume.h"

#include <string_view>

join_progress join_find_appended(line_reader& in, int out_fd, const char* out_name, int64_t offset, int64_t end)
{
    join_progress progress;
    line_reader out(out_fd, out_name, offset, end - offset);
    for (;;) {
        std::string_view wanted = in.peek_line();
        if (wanted.empty()) {
            return progress;
        }
        bool found = false;
        for (std::string_view line = out.line(); !line.empty(); line = out.line()) {
            if (line == wanted) {
                found = true;
                break;
            }
            bool last = line.back() != '\n';
            if (last && line.size() < wanted.size() && wanted.substr(0, line.size()) == line) {
                progress.cut = offset + out.taken() - static_cast<int64_t>(line.size());
            }
        }
        if (!found) {
            return progress;
        }
        in.line();
        ++progress.entries;
    }
}
