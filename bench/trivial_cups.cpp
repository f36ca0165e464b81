// The memory baseline: a program that links libcups and uses it once.
#include <cstdio>

#include <cups/cups.h>

int main()
{
    return cupsUser() == nullptr ? 1 : 0;
}
