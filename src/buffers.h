// Sizes and types of the buffers that main owns for the whole run.
#pragma once

constexpr int kSirkaRadku = 120;
constexpr int kPocetRadku = 1000;
// The text buffer holds one NUL-terminated string of at most kNejdelsiText characters.
constexpr int kVelikostTextu = kSirkaRadku * kPocetRadku;
constexpr int kNejdelsiText = kVelikostTextu - 1;
// A file name is at most kNejdelsiNazev characters as typed.
constexpr int kDelkaNazvu = 100;
constexpr int kNejdelsiNazev = kDelkaNazvu - 1;

// One row of the text buffer; the buffer is used as kPocetRadku rows laid end to end.
using Radek = char[kSirkaRadku];
