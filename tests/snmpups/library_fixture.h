// Loads SNMPUPS.DLL from a test's install directory by name through the platform loader, as a
// host does, and binds its exports.
#pragma once

#include <stdint.h>

#include "quorin/platform.h"
#include "snmpups_fixture.h"

namespace qt {

using GetStatusFn = int (*)(const char *, int *);
using GetDetailFn = int (*)(const char *, int *, int *, int *, int *, int *);
using GetDetail2Fn = int (*)(const char *, int *, int *, int *, int *, int *, int *, int *, int *, int *);
using GetDetail3Fn = int (*)(const char *, int *, int *, int *, int *, int *, char *);
using OutletStateFn = int (*)(const char *, int, int *);
using AddressFn = int (*)(const char *);
using AddressIntFn = int (*)(const char *, int);
using AddressIntIntFn = int (*)(const char *, int, int);

class LibraryTest : public SnmpUpsTest {
 protected:
  ~LibraryTest() override {
    if (library != nullptr) qp_library_free(library);
  }

  void Load() {
    install.add("SNMPUPS.DLL");
    library = qp_library_load((install.dir() + "\\SNMPUPS.DLL").c_str());
    ASSERT_NE(nullptr, library) << GetLastError();
  }

  template <typename Fn>
  Fn Entry(const char *name) {
    void *address = qp_library_symbol(library, name);
    EXPECT_NE(nullptr, address) << name;
    return reinterpret_cast<Fn>(address);
  }

  qp_library *library = nullptr;
};

}  // namespace qt
