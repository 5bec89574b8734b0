// The verbs of upswatch, one row each; a verb lives in a source file of its own and is added
// here with its usage.
#include "upswatch.h"

namespace upswatch {

const Verb kVerbs[] = {
    {"watch", VerbWatch, "watch [--interval SECONDS] [--once]",
     "start-up wait, then the check engine at a steady pace and the trap monitor; --once: one "
     "table of every UPS"},
};
const size_t kVerbCount = sizeof kVerbs / sizeof kVerbs[0];
const char kDefaultVerb[] = "watch";

}  // namespace upswatch
