// Writes the inputs of bench/tools_bench.sh:
//   tools_datagen dataset PATH LINES    "name<i>|<key>|<text>" lines, keys with many ties
//   tools_datagen activity PATH BYTES   dnsq-req activity lines (CR LF), several a second
//   tools_datagen alerts PATH BYTES     6-field alert log lines
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

int fail(const char* what)
{
    perror(what);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: tools_datagen dataset|activity|alerts PATH COUNT\n");
        return 2;
    }
    const std::string kind = argv[1];
    FILE* out = fopen(argv[2], "wb");
    if (out == nullptr) {
        return fail(argv[2]);
    }
    setvbuf(out, nullptr, _IOFBF, 1 << 20);
    const unsigned long long count = strtoull(argv[3], nullptr, 10);
    std::mt19937_64 rng(42);
    char line[256];
    unsigned long long written = 0;
    for (unsigned long long i = 0; kind == "dataset" ? i < count : written < count; ++i) {
        int n = 0;
        if (kind == "dataset") {
            long key = static_cast<long>(rng() % 200000) - 1000;
            n = snprintf(line, sizeof line, "name%llu.example.org|%ld|%llu\n", i, key, static_cast<unsigned long long>(rng() % 1000));
        } else if (kind == "activity") {
            unsigned long long r = rng();
            n = snprintf(line, sizeof line, "1|%u|%llu|c0a8%04x|0a%06x|host%u.example.com|%u|1\r\n",
                         static_cast<unsigned>(r % 4), 1325376000ULL + i / 5, static_cast<unsigned>(r >> 8) & 0xffff,
                         static_cast<unsigned>(r >> 24) & 0xffffff, static_cast<unsigned>(r >> 48) % 5000,
                         static_cast<unsigned>(r >> 40) % 3 == 0 ? 28 : 1);
        } else if (kind == "alerts") {
            n = snprintf(line, sizeof line, "%llu|1|2|dns-query-watch|watched domain seen|query %llu.example.org\n",
                         1325376000ULL + i, static_cast<unsigned long long>(rng() % 100000));
        } else {
            fprintf(stderr, "unknown kind %s\n", argv[1]);
            return 2;
        }
        if (fwrite(line, 1, static_cast<size_t>(n), out) != static_cast<size_t>(n)) {
            return fail("write");
        }
        written += static_cast<unsigned long long>(n);
    }
    if (fclose(out) != 0) {
        return fail("close");
    }
    return 0;
}
