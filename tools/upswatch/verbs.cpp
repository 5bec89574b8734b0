// The verbs of upswatch, one row each; a verb lives in a source file of its own and is added
// here with its usage.
#include "upswatch.h"

namespace upswatch {

const Verb kVerbs[] = {
    {"watch", VerbWatch, "watch [--interval SECONDS] [--once]",
     "start-up wait, then the check engine at a steady pace and the trap monitor; --once: one "
     "table of every UPS"},
    {"send", VerbSend, "send FRAME",
     "one 48-character command of the older UPS controller; the answer printed and decoded"},
    {"shutdown", VerbShutdown, "shutdown --mode scheduled|off|powerfail",
     "the host shutdown sequence (\"V00\"); prints what each UPS was told"},
    {"identify", VerbIdentify, "identify CODE [--status-only]",
     "identifies the UPS registered under CODE in UPS\\UPSinfo.ini, configures a new one, prints "
     "its record"},
};
const size_t kVerbCount = sizeof kVerbs / sizeof kVerbs[0];
const char kDefaultVerb[] = "watch";

}  // namespace upswatch
