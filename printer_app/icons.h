// The printers' icons in PAPPL's three sizes (48, 128 and 512 pixels), PNG.
#pragma once

#include <cstddef>

extern const unsigned char kIcon_sm[];
extern const size_t kIcon_sm_size;
extern const unsigned char kIcon_md[];
extern const size_t kIcon_md_size;
extern const unsigned char kIcon_lg[];
extern const size_t kIcon_lg_size;
