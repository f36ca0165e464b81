// DSC page comments, read a line at a time from whatever pieces the
// document arrives in. Only a line's start is kept: the comments that count
// are short, and PostScript lines can be any length.
#include "printer_app/pages.h"

#include <cstring>

namespace {

bool starts(const char *text, size_t len, const char *prefix)
{
    const size_t n = strlen(prefix);
    return len >= n && memcmp(text, prefix, n) == 0;
}

// A "%%Pages:" value: a count, or -2 for "(atend)"; -1 for anything else.
long pages_value(const char *text, size_t len)
{
    size_t i = strlen("%%Pages:");
    while (i < len && (text[i] == ' ' || text[i] == '\t'))
        i++;
    if (starts(text + i, len - i, "(atend)"))
        return -2;
    long value = 0;
    size_t digits = 0;
    for (; i < len && text[i] >= '0' && text[i] <= '9' && digits < 9; i++, digits++)
        value = value * 10 + (text[i] - '0');
    const bool ends = i == len || text[i] == ' ' || text[i] == '\t';
    return digits > 0 && ends ? value : -1;
}

// Sections whose lines are another document's or data, not this document's
// comments.
const struct {
    const char *begin, *end;
} kNested[] = {
    {"%%BeginDocument", "%%EndDocument"},
    {"%%BeginData", "%%EndData"},
    {"%%BeginBinary", "%%EndBinary"},
};

} // namespace

void DscPages::feed(const char *data, size_t len)
{
    for (size_t i = 0; i < len; i++) {
        const char c = data[i];
        if (after_cr_) {
            after_cr_ = false;
            if (c == '\n')
                continue;
        }
        if (c == '\n' || c == '\r') {
            line(start_, start_len_);
            start_len_ = 0;
            after_cr_ = c == '\r';
        } else if (start_len_ < sizeof(start_)) {
            start_[start_len_++] = c;
        }
    }
}

void DscPages::finish()
{
    if (start_len_ > 0)
        line(start_, start_len_);
    start_len_ = 0;
    end_page();
}

long DscPages::declared() const
{
    if (header_count_ >= 0)
        return header_count_;
    return trailer_count_;
}

long DscPages::pages() const
{
    if (!conforming_)
        return -1;
    const long count = declared();
    if (count > 0)
        return count;
    return begun_ > 0 ? begun_ : -1;
}

void DscPages::end_page()
{
    if (in_page_)
        ended_++;
    in_page_ = false;
}

void DscPages::line(const char *text, size_t len)
{
    if (first_line_) {
        // A print job may come wrapped in PJL, or after a Ctrl-D.
        while (len > 0 && text[0] == '\x04') {
            text++;
            len--;
        }
        static const char kUel[] = "\x1b%-12345X";
        if (starts(text, len, kUel)) {
            text += sizeof(kUel) - 1;
            len -= sizeof(kUel) - 1;
        }
        if (len == 0 || starts(text, len, "@PJL"))
            return;
        first_line_ = false;
        conforming_ = starts(text, len, "%!PS-Adobe-");
        return;
    }
    if (len < 2 || text[0] != '%' || text[1] != '%') {
        if (len == 0 || text[0] != '%')
            in_header_ = false;
        return;
    }

    for (const auto &nested : kNested) {
        if (starts(text, len, nested.begin)) {
            depth_++;
            return;
        }
        if (starts(text, len, nested.end)) {
            if (depth_ > 0)
                depth_--;
            return;
        }
    }
    if (depth_ > 0)
        return;

    // A header without its %%EndComments ends where the body's comments
    // start.
    static const char *const kBody[] = {"%%BeginProlog", "%%BeginSetup", "%%Page:", "%%Trailer",
                                        "%%EOF"};
    for (const char *body : kBody)
        if (starts(text, len, body))
            in_header_ = false;
    if (in_header_) {
        if (starts(text, len, "%%EndComments")) {
            in_header_ = false;
        } else if (starts(text, len, "%%Pages:") && header_count_ < 0 && !atend_) {
            const long value = pages_value(text, len);
            if (value == -2)
                atend_ = true;
            else
                header_count_ = value;
        }
        return;
    }
    if (starts(text, len, "%%Page:")) {
        end_page();
        in_page_ = true;
        begun_++;
    } else if (starts(text, len, "%%Trailer")) {
        end_page();
        in_trailer_ = true;
    } else if (starts(text, len, "%%EOF")) {
        end_page();
    } else if (in_trailer_ && starts(text, len, "%%Pages:")) {
        const long value = pages_value(text, len);
        if (value >= 0)
            trailer_count_ = value;
    }
}

long jobs_sheets(long pages_per_copy, long copies, bool two_sided)
{
    if (pages_per_copy <= 0 || copies <= 0)
        return 0;
    return (two_sided ? (pages_per_copy + 1) / 2 : pages_per_copy) * copies;
}
