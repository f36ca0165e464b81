# shellcheck shell=bash
# The commands that README.md tells its reader to type, for the tests that
# run them as they stand, but for the addresses of the test's own stand-ins;
# source this file from bash. A README edit that breaks one of them then
# fails a test.
#
#   readme_line ERE
#       Prints the first line of an indented block of the README that
#       matches ERE (which sees the line without its indent), without a
#       trailing "# comment"; fails, saying so, when no line matches.
#   readme_words ARRAY ERE
#       Sets ARRAY to the words of that line. The README's commands use no
#       quotes, variables or globs, so they split as the shell would.
#   word_after ARRAY WORD          prints the word after the first WORD
#   set_word_after ARRAY WORD VALUE
#                                  replaces the word after every WORD
#   uri_with_host URI HOST         URI with its host replaced, port and
#                                  path kept
#   uri_with_authority URI HOST:PORT

README=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/README.md

readme_line() {
    local line
    line=$(sed -n 's/^    //p' "$README" | grep -m1 -E -- "$1")
    if [ -z "$line" ]; then
        echo "README.md has no command matching: $1" >&2
        return 1
    fi
    echo "${line%%[[:space:]]#*}"
}

readme_words() {
    local -n readme_words_=$1
    local line
    line=$(readme_line "$2") || return 1
    # shellcheck disable=SC2034 # a name reference to the caller's array
    read -ra readme_words_ <<<"$line"
}

word_after() {
    local -n word_after_=$1
    local i
    for i in "${!word_after_[@]}"; do
        if [ "${word_after_[i]}" = "$2" ]; then
            echo "${word_after_[i + 1]:-}"
            return 0
        fi
    done
    echo "no word after $2 in: ${word_after_[*]}" >&2
    return 1
}

set_word_after() {
    local -n words_=$1
    local i found=
    for i in "${!words_[@]}"; do
        if [ "${words_[$i]}" = "$2" ] && [ $((i + 1)) -lt ${#words_[@]} ]; then
            words_[i + 1]=$3
            found=1
        fi
    done
    [ -n "$found" ] || { echo "no word after $2 in: ${words_[*]}" >&2; return 1; }
}

uri_with_host() {
    sed -E "s#^([a-z]+://)[^/:]+#\\1$2#" <<<"$1"
}

uri_with_authority() {
    sed -E "s#^([a-z]+://)[^/]+#\\1$2#" <<<"$1"
}
