// Folder listings of the service: how many files a listing holds, read from its JSON structure in one pass.
// Portable: nothing is allocated; the nesting of brackets lives in a fixed bit stack on the stack.
#pragma once
#include <cstdint>
#include <string_view>

// Deepest nesting of arrays and objects a listing may have; the top-level object is depth 1. A listing
// nests three levels (listing, "contents", entry) plus whatever an entry holds; 512 leaves wide room for
// any answer of the service while the bit stack that tracks the nesting stays at 64 bytes.
constexpr int kMaxJsonDepth = 512;

// Number of files in a folder listing: the entries of the top-level object's "contents" array that are
// objects whose "is_dir" member is the literal false. Member names are compared after their escapes are
// decoded. Only the top-level object's first "contents" member and an entry's first "is_dir" member count;
// later ones are ignored, and so are members of objects nested inside an entry. 0 when the text is not one
// valid JSON value (white space around it allowed), when the top level is not an object, when its first
// "contents" member is missing or not an array, or when nesting is deeper than kMaxJsonDepth.
uint32_t CountListedFiles(std::string_view listing);
