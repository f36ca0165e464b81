// Compares two binary greyscale images (PGM, "P5", 8 bits) of one size and
// says how far apart they are: the mean difference of their samples and the
// share of samples that differ by more than a quarter of the scale.
//
//   pnm_compare A.pgm B.pgm MAX-MEAN MAX-SHARE
//
// Exits 0 when both figures are within their limits, 1 when not, 2 when the
// images can't be read or differ in size.
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// The next number of a PNM header, past white space and comments.
bool header_number(FILE *f, int *value)
{
    int c;
    while ((c = fgetc(f)) != EOF) {
        if (c == '#') {
            while ((c = fgetc(f)) != EOF && c != '\n')
                ;
        } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            char digits[16];
            size_t n = 0;
            while (c >= '0' && c <= '9' && n + 1 < sizeof(digits)) {
                digits[n++] = static_cast<char>(c);
                c = fgetc(f);
            }
            digits[n] = '\0';
            // The one white-space byte after the last number is consumed here.
            char *end = nullptr;
            *value = static_cast<int>(strtol(digits, &end, 10));
            return n > 0 && *end == '\0';
        }
    }
    return false;
}

bool read_pgm(const char *path, int *width, int *height, std::vector<unsigned char> *pixels)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr)
        return false;
    int maxval = 0;
    char magic[2] = {};
    bool ok = fread(magic, 1, sizeof(magic), f) == sizeof(magic) && magic[0] == 'P' &&
              magic[1] == '5' && header_number(f, width) && header_number(f, height) &&
              header_number(f, &maxval) && maxval == 255 && *width > 0 && *height > 0;
    if (ok) {
        pixels->resize(static_cast<size_t>(*width) * static_cast<size_t>(*height));
        ok = fread(pixels->data(), 1, pixels->size(), f) == pixels->size();
    }
    fclose(f);
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 5) {
        fprintf(stderr, "usage: pnm_compare A.pgm B.pgm MAX-MEAN MAX-SHARE\n");
        return 2;
    }
    int wa = 0, ha = 0, wb = 0, hb = 0;
    std::vector<unsigned char> a, b;
    if (!read_pgm(argv[1], &wa, &ha, &a) || !read_pgm(argv[2], &wb, &hb, &b)) {
        fprintf(stderr, "pnm_compare: can't read the images\n");
        return 2;
    }
    if (wa != wb || ha != hb) {
        fprintf(stderr, "pnm_compare: sizes differ: %dx%d and %dx%d\n", wa, ha, wb, hb);
        return 2;
    }
    double sum = 0;
    size_t far = 0;
    for (size_t i = 0; i < a.size(); i++) {
        const int d = abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
        sum += d;
        if (d > 64)
            far++;
    }
    const double mean = sum / static_cast<double>(a.size());
    const double share = static_cast<double>(far) / static_cast<double>(a.size());
    printf("mean difference %.3f, share far apart %.5f\n", mean, share);
    return mean <= strtod(argv[3], nullptr) && share <= strtod(argv[4], nullptr) ? 0 : 1;
}
