// Helpers shared by the SNMP manager files of the POSIX backend: library set-up and the
// conversions between the SNMP library's variables and the layer's values.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include "quorin/qp_snmp.h"

// Sets the SNMP library up once per process, quietly: no MIB files, no configuration files,
// no persistent state, every log message swallowed. Safe from any thread.
void qp_snmp_library_init();

// Copies an identifier of the SNMP library into OUT, cut to QP_SNMP_MAX_OID_LENGTH.
void qp_snmp_oid_from_native(const oid *ids, size_t length, qp_snmp_oid *out);

// Fills OUT (name and value) from VAR. The bytes are allocated for OUT. Returns false, with
// OUT left a NULL value, when memory runs out.
bool qp_snmp_varbind_from_native(const netsnmp_variable_list *var, qp_snmp_varbind *out);

// Port number from the environment variable NAME, or FALLBACK when it is unset or not a port.
uint16_t qp_snmp_port_from_env(const char *name, uint16_t fallback);
