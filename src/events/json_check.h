#pragma once
// Checks the values of one saved event line before a comparison trusts it. The reader of saved
// runs takes the first of two equal keys while jq and Python take the last, and strtod turns
// 1e999 into inf and 1e-400 into 0; a line that leans on either could tell two readers two
// different stories, so such lines are refused. A pure function over text: no I/O and no
// allocation.
#include <string_view>

// What is wrong with one event line's values, for a reader of saved runs; the line must already
// be one well-formed JSON object (json_object_valid).
struct LineFault {
  char key[64];   // dotted path of the member at fault, e.g. "index.st" or "subtests.st"
  char what[96];  // e.g. "a duplicate key", "not a finite number (1e999)", "negative (-3)"
};

// Returns true and fills *fault when the line has a fault; false when it is fine. Every member of
// every object at any depth (objects inside arrays included) is checked, and the first fault in
// the order of the text is reported:
//  - a key that an earlier member of the same object already has, compared as decoded text
//    ("a duplicate key");
//  - a number that strtod cannot hold ("not a finite number (1e999)");
//  - a nonzero magnitude above 1e12 or below 1e-6 ("absurdly large (...)", "absurdly small
//    (...)"): tallyfox writes at most 4 decimals and no figure that large;
//  - a negative number, except in the few members where tallyfox writes one (rt_runtime_us,
//    thermal_c, change_pct, drift.pct); -0.0 equals zero and passes everywhere.
// The path of a member inside an array leaves the index out ("subtests.st"). Text that is not
// one well-formed object is refused too, with what "not one well-formed JSON object".
bool event_line_fault(std::string_view line, LineFault* fault);
