// upswatch: the host program of SNMPUPS.DLL. It loads the library as a program outside the
// system does and drives its monitoring; further verbs reach its other exports.
//
// upswatch [VERB] [OPTIONS]; without a verb it watches. Exit status: 0 done, 1 failed, 2 usage,
// 3 SNMPUPS.DLL not loadable or lacking an export.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "quorin_version.h"
#include "upswatch.h"

namespace {

void PrintUsage(FILE *out) {
  fprintf(out, "usage: %s [VERB] [OPTIONS]\n", upswatch::kProgram);
  fprintf(out, "The host of %s: loads it from the program's folder and calls its exports.\n",
          upswatch::kLibraryName);
  fprintf(out, "Without a verb: %s.\n\nverbs:\n", upswatch::kDefaultVerb);
  for (size_t i = 0; i < upswatch::kVerbCount; ++i) {
    const upswatch::Verb &verb = upswatch::kVerbs[i];
    fprintf(out, "  %s %s\n      %s\n", upswatch::kProgram, verb.usage, verb.summary);
  }
  fprintf(out,
          "\n  %s --help | --version\n\n"
          "The library finds its install directory in the registry file (QUORIN_REGISTRY) and its\n"
          "settings in DATA\\snmp.apc there. %s VERB --help tells more about one verb.\n"
          "exit status: 0 done, 1 failed, 2 usage, 3 %s not loadable or lacking an export\n",
          upswatch::kProgram, upswatch::kProgram, upswatch::kLibraryName);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    PrintUsage(stdout);
    return upswatch::kExitOk;
  }
  if (argc >= 2 && (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0)) {
    printf("%s (quorin) %s\n", upswatch::kProgram, QUORIN_VERSION);
    return upswatch::kExitOk;
  }
  // The verb's own arguments start with its name, as a program's start with the program's.
  const char *name = argc >= 2 && argv[1][0] != '-' ? argv[1] : upswatch::kDefaultVerb;
  std::vector<char *> args;
  args.push_back(const_cast<char *>(name));
  for (int i = name == upswatch::kDefaultVerb ? 1 : 2; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);

  for (size_t i = 0; i < upswatch::kVerbCount; ++i) {
    const upswatch::Verb &verb = upswatch::kVerbs[i];
    if (strcmp(name, verb.name) != 0) continue;
    int status = verb.run(static_cast<int>(args.size() - 1), args.data());
    if (status == upswatch::kExitUsage) fprintf(stderr, "usage: %s %s\n", upswatch::kProgram, verb.usage);
    // The library stays loaded until the process ends, as its mutexes and the trap listener do.
    return status;
  }
  fprintf(stderr, "%s: unknown verb \"%s\"\n", upswatch::kProgram, name);
  PrintUsage(stderr);
  return upswatch::kExitUsage;
}
