// One direction of a TCP connection as a byte stream: payload queued by
// sequence number and read back only where it is contiguous from the next
// expected byte.
//
// Sequence numbers are 32-bit and wrap; inside, every byte gets a 64-bit
// stream offset (0 for the first byte after the SYN), which keeps ordering
// plain once a position has been placed relative to the next expected byte
// with serial-number arithmetic.
//
// Whatever a peer sends, a stream queues at most `tcp_stream_window` bytes
// (all of them inside the window above the next unread byte) in at most
// `tcp_stream_max_pieces` separate runs: adjacent payload is merged into one
// run, so an in-order stream is always a single run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

// Two maximal DNS messages with their 2-byte length prefixes.
constexpr uint32_t tcp_stream_window = 2 * 65537;
// Separate runs of queued bytes (islands between gaps) in one direction.
constexpr size_t tcp_stream_max_pieces = 256;

enum class tcp_insert_result {
    added,      // at least one new byte queued
    duplicate,  // every byte was queued already
    old,        // every byte was read already
    refused,    // outside the window, or no room for another run
};

class tcp_stream {
public:
    // `isn` is the sequence number of the SYN; data starts at isn + 1.
    explicit tcp_stream(uint32_t isn) : isn_(isn) {}

    // Queues the payload that starts at sequence number `seq`; bytes already
    // read or already queued are left out, bytes past the window cut off.
    tcp_insert_result insert(uint32_t seq, const unsigned char* data, size_t length);

    // How far `seq` lies after the next unread byte (negative: before it),
    // by serial-number arithmetic modulo 2^32.
    int64_t relative(uint32_t seq) const { return static_cast<int32_t>(seq - seq_of(next_)); }
    uint32_t seq_of(uint64_t offset) const { return isn_ + 1 + static_cast<uint32_t>(offset); }

    // The unread bytes contiguous from the next unread byte (nullptr when none).
    const unsigned char* readable(size_t* length) const;
    // Marks n of the readable bytes as read.
    void consume(size_t n);

    uint64_t next_offset() const { return next_; }
    // The sequence number of the last byte read (the SYN's while none was).
    uint32_t last_read_seq() const { return seq_of(next_) - 1; }
    // Offset just past the contiguous bytes received (read or not).
    uint64_t contiguous_end() const;

    // Memory held for this stream's runs (their buffers as allocated, read
    // bytes still kept at the front of the first one, and bookkeeping) and
    // the number of runs.
    size_t held_bytes() const { return held_; }
    size_t pieces() const { return runs_.size(); }

    // For the verbose dump: each run's first offset, bytes read of it and size.
    template <typename F>
    void each_run(F f) const
    {
        for (const auto& [start, run] : runs_) {
            f(start, run.read, run.data.size());
        }
    }

private:
    struct run {
        std::vector<unsigned char> data;
        size_t read = 0;  // bytes at the front already handed on (first run only)
    };
    bool add_piece(uint64_t start, const unsigned char* data, size_t length);
    void drop_read_front();

    uint32_t isn_;
    uint64_t next_ = 0;  // offset of the next unread byte
    size_t held_ = 0;
    std::map<uint64_t, run> runs_;  // by offset of data[0]; disjoint, never adjacent
};
