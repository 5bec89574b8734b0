// The timed layer GET shared by the SNMP benchmarks (they link the platform layer; the pipe
// benchmark does not).
#pragma once

#include <benchmark/benchmark.h>

#include "quorin/qp_snmp.h"

namespace bench {

// The GET the SNMP UPS library makes for a status read, timed per iteration: a session opened
// to AGENT with COMMUNITY, 200 ms, 2 retries, one GetRequest of OID, which must answer 2, and
// the session closed.
inline void LayerGetLoop(benchmark::State &state, const char *agent, const char *community, const char *oid) {
  qp_snmp_varbind in{};
  qp_snmp_oid_from_text(oid, &in.name);
  in.value.type = QP_ASN_NULL;
  for (auto _ : state) {
    qp_snmp_session *session = qp_snmp_open(agent, community, 200, 2);
    qp_snmp_varbind out{};
    uint32_t status = 0, index = 0;
    if (session == nullptr || qp_snmp_request(session, QP_SNMP_PDU_GET, &in, &out, &status, &index) != 1 ||
        out.value.integer != 2) {
      qp_snmp_close(session);
      state.SkipWithError("GET failed");
      break;
    }
    qp_snmp_value_free(&out.value);
    qp_snmp_close(session);
  }
}

}  // namespace bench
