// The PowerNet MIB variables (enterprise 318) that SNMPUPS.DLL reads and writes, declared
// once as OID texts with the SNMP type each is read or written with.
#pragma once

#include <stdint.h>

#include "quorin/qp_snmp.h"

// One variable: its instance OID text and the type it is read or written with.
struct PowerNetVariable {
  const char *oid;
  uint8_t type;
};

namespace powernet {

// Identification. The card's own description is MIB-II's system description.
inline constexpr PowerNetVariable kSysDescr = {".1.3.6.1.2.1.1.1.0", QP_ASN_OCTET_STRING};
inline constexpr PowerNetVariable kUpsBasicIdentModel = {".1.3.6.1.4.1.318.1.1.1.1.1.1.0",
                                                         QP_ASN_OCTET_STRING};
inline constexpr PowerNetVariable kUpsAdvIdentFirmwareRevision = {".1.3.6.1.4.1.318.1.1.1.1.2.1.0",
                                                                  QP_ASN_OCTET_STRING};
inline constexpr PowerNetVariable kUpsAdvIdentSerialNumber = {".1.3.6.1.4.1.318.1.1.1.1.2.3.0",
                                                              QP_ASN_OCTET_STRING};

// Battery.
inline constexpr PowerNetVariable kUpsBasicBatteryTimeOnBattery = {".1.3.6.1.4.1.318.1.1.1.2.1.2.0",
                                                                   QP_ASN_TIMETICKS};
inline constexpr PowerNetVariable kUpsAdvBatteryCapacity = {".1.3.6.1.4.1.318.1.1.1.2.2.1.0", QP_ASN_GAUGE};
inline constexpr PowerNetVariable kUpsAdvBatteryTemperature = {".1.3.6.1.4.1.318.1.1.1.2.2.2.0",
                                                               QP_ASN_GAUGE};
inline constexpr PowerNetVariable kUpsAdvBatteryRunTimeRemaining = {".1.3.6.1.4.1.318.1.1.1.2.2.3.0",
                                                                    QP_ASN_TIMETICKS};
inline constexpr PowerNetVariable kUpsAdvBatteryReplaceIndicator = {".1.3.6.1.4.1.318.1.1.1.2.2.4.0",
                                                                    QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsAdvBatteryNumOfBattPacks = {".1.3.6.1.4.1.318.1.1.1.2.2.5.0",
                                                                  QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsAdvBatteryNumOfBadBattPacks = {".1.3.6.1.4.1.318.1.1.1.2.2.6.0",
                                                                     QP_ASN_INTEGER};

// Input.
inline constexpr PowerNetVariable kUpsBasicInputPhase = {".1.3.6.1.4.1.318.1.1.1.3.1.1.0", QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsAdvInputLineVoltage = {".1.3.6.1.4.1.318.1.1.1.3.2.1.0", QP_ASN_GAUGE};
inline constexpr PowerNetVariable kUpsAdvInputMaxLineVoltage = {".1.3.6.1.4.1.318.1.1.1.3.2.2.0",
                                                                QP_ASN_GAUGE};
inline constexpr PowerNetVariable kUpsAdvInputMinLineVoltage = {".1.3.6.1.4.1.318.1.1.1.3.2.3.0",
                                                                QP_ASN_GAUGE};
inline constexpr PowerNetVariable kUpsAdvInputFrequency = {".1.3.6.1.4.1.318.1.1.1.3.2.4.0", QP_ASN_GAUGE};
inline constexpr PowerNetVariable kUpsAdvInputLineFailCause = {".1.3.6.1.4.1.318.1.1.1.3.2.5.0",
                                                               QP_ASN_INTEGER};

// Output.
inline constexpr PowerNetVariable kUpsBasicOutputStatus = {".1.3.6.1.4.1.318.1.1.1.4.1.1.0", QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsBasicOutputPhase = {".1.3.6.1.4.1.318.1.1.1.4.1.2.0", QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsAdvOutputVoltage = {".1.3.6.1.4.1.318.1.1.1.4.2.1.0", QP_ASN_GAUGE};
inline constexpr PowerNetVariable kUpsAdvOutputFrequency = {".1.3.6.1.4.1.318.1.1.1.4.2.2.0", QP_ASN_GAUGE};
inline constexpr PowerNetVariable kUpsAdvOutputLoad = {".1.3.6.1.4.1.318.1.1.1.4.2.3.0", QP_ASN_GAUGE};
inline constexpr PowerNetVariable kUpsAdvOutputCurrent = {".1.3.6.1.4.1.318.1.1.1.4.2.4.0", QP_ASN_GAUGE};

// Configuration.
inline constexpr PowerNetVariable kUpsAdvConfigHighTransferVolt = {".1.3.6.1.4.1.318.1.1.1.5.2.2.0",
                                                                   QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsAdvConfigLowTransferVolt = {".1.3.6.1.4.1.318.1.1.1.5.2.3.0",
                                                                  QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsAdvConfigAlarm = {".1.3.6.1.4.1.318.1.1.1.5.2.4.0", QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsAdvConfigAlarmTimer = {".1.3.6.1.4.1.318.1.1.1.5.2.5.0",
                                                             QP_ASN_TIMETICKS};
inline constexpr PowerNetVariable kUpsAdvConfigMinReturnCapacity = {".1.3.6.1.4.1.318.1.1.1.5.2.6.0",
                                                                    QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsAdvConfigSensitivity = {".1.3.6.1.4.1.318.1.1.1.5.2.7.0",
                                                              QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsAdvConfigLowBatteryRunTime = {".1.3.6.1.4.1.318.1.1.1.5.2.8.0",
                                                                    QP_ASN_TIMETICKS};
inline constexpr PowerNetVariable kUpsAdvConfigReturnDelay = {".1.3.6.1.4.1.318.1.1.1.5.2.9.0",
                                                              QP_ASN_TIMETICKS};
inline constexpr PowerNetVariable kUpsAdvConfigShutoffDelay = {".1.3.6.1.4.1.318.1.1.1.5.2.10.0",
                                                               QP_ASN_TIMETICKS};
inline constexpr PowerNetVariable kUpsAdvConfigSleepTime = {".1.3.6.1.4.1.318.1.1.1.5.2.11.0",
                                                            QP_ASN_TIMETICKS};
inline constexpr PowerNetVariable kUpsAdvConfigBattExhaustThresh = {".1.3.6.1.4.1.318.1.1.1.5.2.14.0",
                                                                    QP_ASN_TIMETICKS};

// Tests.
inline constexpr PowerNetVariable kUpsAdvTestDiagnosticSchedule = {".1.3.6.1.4.1.318.1.1.1.7.2.1.0",
                                                                   QP_ASN_INTEGER};

// Control.
inline constexpr PowerNetVariable kUpsBasicControlConserveBattery = {".1.3.6.1.4.1.318.1.1.1.6.1.1.0",
                                                                     QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsAdvControlUpsOff = {".1.3.6.1.4.1.318.1.1.1.6.2.1.0", QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsAdvControlUpsSleep = {".1.3.6.1.4.1.318.1.1.1.6.2.3.0", QP_ASN_INTEGER};
inline constexpr PowerNetVariable kUpsAdvControlTurnOnUps = {".1.3.6.1.4.1.318.1.1.1.6.2.6.0",
                                                             QP_ASN_INTEGER};

// Synchronized control group (SCG).
inline constexpr PowerNetVariable kScgMembershipGroupNumber = {".1.3.6.1.4.1.318.1.1.1.10.1.1.0",
                                                               QP_ASN_INTEGER};
inline constexpr PowerNetVariable kScgActiveMembership = {".1.3.6.1.4.1.318.1.1.1.10.1.2.0", QP_ASN_INTEGER};
inline constexpr PowerNetVariable kScgPowerSynchronizationDelay = {".1.3.6.1.4.1.318.1.1.1.10.1.3.0",
                                                                   QP_ASN_INTEGER};
inline constexpr PowerNetVariable kScgReturnBatteryCapacityOffset = {".1.3.6.1.4.1.318.1.1.1.10.1.4.0",
                                                                     QP_ASN_INTEGER};
inline constexpr PowerNetVariable kScgMulticastAddress = {".1.3.6.1.4.1.318.1.1.1.10.1.5.0",
                                                          QP_ASN_IPADDRESS};
inline constexpr PowerNetVariable kScgGroupMembers = {".1.3.6.1.4.1.318.1.1.1.10.2.1.0", QP_ASN_INTEGER};

// Output state flags: a text of '0'/'1' characters.
inline constexpr PowerNetVariable kUpsBasicStateOutputState = {".1.3.6.1.4.1.318.1.1.1.11.1.1.0",
                                                               QP_ASN_OCTET_STRING};
constexpr int OUTPUT_STATE_SERIAL_COMMUNICATION = 5;  // index of "serial communication established"
constexpr int OUTPUT_STATE_GRACEFUL_SHUTDOWN = 21;    // index of "graceful shutdown in progress"
constexpr int OUTPUT_STATE_SYNC_IN_PROGRESS = 31;     // index of "SCG synchronisation running"
constexpr int OUTPUT_STATE_TEXT_LIMIT = 64;           // the state text is cut to this length

// Outlet groups: the group number is appended as ".%d".
inline constexpr char kOutletGroupStatePrefix[] = ".1.3.6.1.4.1.318.1.1.1.12.1.2.1.3";
inline constexpr char kOutletGroupCommandPrefix[] = ".1.3.6.1.4.1.318.1.1.1.12.3.2.1.3";
inline constexpr PowerNetVariable kOutletGroupTableSize = {".1.3.6.1.4.1.318.1.1.1.12.2.1.0", QP_ASN_INTEGER};

// The trap-argument variable that PowerNet traps carry.
inline constexpr char kTrapArgument[] = ".1.3.6.1.4.1.318.2.3.3.0";

// Output status values (upsBasicOutputStatus).
constexpr int OUTPUT_STATUS_ON_LINE = 2;
constexpr int OUTPUT_STATUS_ON_BATTERY = 3;
// Input line fail cause of a self-test.
constexpr int INPUT_FAIL_CAUSE_SELF_TEST = 9;

}  // namespace powernet
