// query_loggen PATH BYTES [SEED]: writes a replication log of 4 '|'-separated
// fields a line (ctime, replica host, operation, object), oldest first, of at
// least BYTES bytes. Prints the first and the last ctime written.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: query_loggen PATH BYTES [SEED]\n");
        return 1;
    }
    const char* path = argv[1];
    long long target = atoll(argv[2]);
    unsigned seed = argc > 3 ? static_cast<unsigned>(atoi(argv[3])) : 7;
    FILE* out = fopen(path, "wb");
    if (out == nullptr) {
        perror(path);
        return 1;
    }
    static char buffer[1 << 20];
    setvbuf(out, buffer, _IOFBF, sizeof buffer);
    static const char* const operations[] = {"push", "pull", "sync", "delete", "Push"};
    std::mt19937 rng(seed);
    int64_t ctime = 1700000000;
    const int64_t first = ctime;
    long long written = 0;
    while (written < target) {
        ctime += rng() % 3;
        int n = fprintf(out, "%" PRId64 "|Replica-%02u.example.net|%s|/zones/db.zone%05u.example.com\n", ctime,
                        static_cast<unsigned>(rng() % 50), operations[rng() % 5],
                        static_cast<unsigned>(rng() % 100000));
        if (n < 0) {
            perror(path);
            return 1;
        }
        written += n;
    }
    if (fclose(out) != 0) {
        perror(path);
        return 1;
    }
    printf("%" PRId64 " %" PRId64 "\n", first, ctime);
    return 0;
}
