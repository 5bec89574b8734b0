/* The whole platform layer: the one header the core includes. */
#pragma once

#include "qp_base.h"
#include "qp_error.h"
#include "qp_file.h"
#include "qp_guard.h"
#include "qp_journal.h"
#include "qp_library.h"
#include "qp_pipe.h"
#include "qp_process.h"
#include "qp_profile.h"
#include "qp_registry.h"
#include "qp_runtime.h"
#include "qp_service.h"
#include "qp_shm.h"
#include "qp_snmp.h"
#include "qp_sync.h"
#include "qp_time.h"
