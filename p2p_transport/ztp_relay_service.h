// The services the camera lends to the P2P system, each in a thread started by ZTP_Initialize and
// started by a server's SDevRun once the caller switched it on: the relay service ("_SuperDev")
// forwards one foreign session between two peers, the rendezvous service ("_SmartSuperDev")
// matches a device and a client by serial number and tells both to punch towards each other.
#pragma once

#include "ztp_wire.h"

enum { ZTP_RENDEZVOUS_ENTRIES = 4 };

// 0, or -1 when a thread cannot be created.
int ztp_services_start(void);
// Stops a running service and joins both threads.
void ztp_services_stop(void);
// A server's SDevRun: starts the services that are switched on, as the device `did`.
void ztp_services_on_sdev_run(const ztp_did *did);
