// The pages of a PostScript document as its DSC comments tell them: the
// count it declares, and the pages that have gone past as it is read.
#pragma once

#include <cstddef>

class DscPages {
public:
    // The document's next bytes, in any pieces.
    void feed(const char *data, size_t len);
    // The document has ended: a page still open has gone past whole.
    void finish();

    // Whether the document says it follows the DSC (its first line, after
    // any PJL, starts with "%!PS-Adobe-").
    bool conforming() const { return conforming_; }
    // The count of its own "%%Pages:" comment, in the header or, for
    // "(atend)", in the trailer; -1 when it gives none (yet).
    long declared() const;
    // "%%Page:" comments of the document itself, not of a document embedded
    // in it, seen so far.
    long begun() const { return begun_; }
    // Of those, the pages that have ended: the next page, the trailer or the
    // end has been read.
    long ended() const { return ended_; }
    // What the document says its page count is: its own count, else, in a
    // conforming document, its "%%Page:" comments; -1 when it cannot tell.
    // Complete only once finish() has been called.
    long pages() const;

private:
    void line(const char *text, size_t len);
    void end_page();

    // The start of the line being read; DSC comments that matter are short.
    char start_[64] = {};
    size_t start_len_ = 0;
    bool after_cr_ = false;
    bool first_line_ = true;
    bool conforming_ = false;
    bool in_header_ = true;
    bool in_trailer_ = false;
    bool atend_ = false;
    bool in_page_ = false;
    int depth_ = 0; // embedded documents and binary sections
    long header_count_ = -1, trailer_count_ = -1;
    long begun_ = 0, ended_ = 0;
};

// The sheets that the impressions of one copy fill, and so of every copy:
// one a page one-sided, one for two pages two-sided.
long jobs_sheets(long pages_per_copy, long copies, bool two_sided);
