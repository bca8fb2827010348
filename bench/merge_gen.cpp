// merge_gen DIR FILES KEYS DATASETS LINES IDS [SEED]: writes FILES sorted
// report data files of KEYS lines each (DIR/r0000 ...) and DATASETS sorted
// datasets of LINES lines each (DIR/d0 ...), every line a fixed-width key
// and a count list of IDS pairs, or with IDS 0 one integer (the lines of
// last-used datasets). Dataset keys take every other place of a
// key space of 2 * LINES places; report keys fall anywhere in it, so about
// half of them meet a dataset line and half are new. Fixed-width keys make
// whole-line byte order the key order, so `sort -m` sees the same order.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

void write_list(FILE* out, std::mt19937& rng, int ids)
{
    if (ids == 0) {
        fprintf(out, "|%u\n", static_cast<unsigned>(rng() % 1000000));
        return;
    }
    std::uniform_int_distribution<int> id(0, ids * 2 - 1), count(1, 9);
    for (int i = 0; i < ids; ++i) {
        fprintf(out, "%c%d=%d", i == 0 ? '|' : ' ', id(rng), count(rng));
    }
    fputc('\n', out);
}

FILE* open_out(const std::string& path)
{
    FILE* out = fopen(path.c_str(), "wb");
    if (out == nullptr) {
        perror(path.c_str());
        exit(1);
    }
    setvbuf(out, nullptr, _IOFBF, 1 << 20);
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 7) {
        fprintf(stderr, "usage: merge_gen DIR FILES KEYS DATASETS LINES IDS [SEED]\n");
        return 1;
    }
    std::string dir = argv[1];
    int files = atoi(argv[2]), datasets = atoi(argv[4]), ids = atoi(argv[6]);
    long keys = atol(argv[3]), lines = atol(argv[5]);
    std::mt19937 rng(argc > 7 ? static_cast<unsigned>(atoi(argv[7])) : 16);
    long space = 2 * lines;
    for (int f = 0; f < files; ++f) {
        char name[32];
        snprintf(name, sizeof name, "/r%04d", f);
        FILE* out = open_out(dir + name);
        // KEYS increasing places spread over the key space.
        double step = static_cast<double>(space) / static_cast<double>(keys);
        for (long k = 0; k < keys; ++k) {
            long place = static_cast<long>(k * step) + static_cast<long>(rng() % std::max(1L, static_cast<long>(step)));
            fprintf(out, "h%010ld.example|%04ld", place, place % 7919);
            write_list(out, rng, ids);
        }
        fclose(out);
    }
    for (int d = 0; d < datasets; ++d) {
        char name[32];
        snprintf(name, sizeof name, "/d%d", d);
        FILE* out = open_out(dir + name);
        for (long i = 0; i < lines; ++i) {
            long place = i * 2;
            fprintf(out, "h%010ld.example|%04ld", place, place % 7919);
            write_list(out, rng, ids);
        }
        fclose(out);
    }
    return 0;
}
