// A writer that appends to an alert log the way the README asks writers to,
// from a thread of the test: for each entry it opens the log for appending,
// takes an exclusive flock on it, makes sure the path still names the file
// it opened (else it opens the log again: a prune has just replaced it),
// writes the entry in one write and closes the log. Entries are numbered
// from 0 (locked_writer::entry), one every `pause_ms`.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

class locked_writer {
public:
    locked_writer(std::string path, int pause_ms);
    ~locked_writer();
    locked_writer(const locked_writer&) = delete;
    locked_writer& operator=(const locked_writer&) = delete;

    // Ends the writing; the entries written stay counted.
    void stop();
    // Entries written whole so far, and calls that failed.
    int written() const { return written_; }
    int failures() const { return failures_; }
    // Waits until `count` more entries than now are written; false when
    // they do not come within `timeout_ms`.
    bool wait_for_more(int count, int timeout_ms) const;

    // Entry `n` as written, line end included.
    static std::string entry(int n);

private:
    void run();
    bool append(const char* line, size_t size);

    std::string path_;
    int pause_ms_;
    std::atomic<bool> stop_{false};
    std::atomic<int> written_{0};
    std::atomic<int> failures_{0};
    std::thread thread_;
};
