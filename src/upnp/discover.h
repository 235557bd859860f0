// The device table and the discovery driver.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/capacity.h"
#include "parse/description.h"
#include "parse/ssdp_packet.h"

// ---- device table (guarded by g_lock)
extern device_t g_dev[DEVICE_TABLE_ROWS];
extern int g_ndev;

// Adds or refreshes the device of a reply or alive announcement, fetching its
// description when needed. 0, or -1 with the message in err. Takes g_lock itself and
// drops it for the fetch: the caller must not hold it.
int devices_add_from_reply(const ssdp_reply *r, char *err, size_t errn);
// The remaining functions are called with g_lock held.
device_t *device_find(const char *udn_key);
// The row announced under `key` (a USN's key, which may differ from the UDN), or else the
// row of the device whose UDN it is: alive and byebye find a row the same way.
device_t *device_announced(const char *key);
void devices_purge(void);
void device_remove(int i); // moves the last row into row i
// Fake mode: from the selection of the fake transport until the numeric settings are
// restored (or it is turned off), discovery refuses the live search (devices come only
// from injected packets). Both with g_lock held.
void discover_fake_mode(bool on);
bool discover_live_off(void);
// Live search of kind 1..3 for timeout_ms (validated by the caller) feeding the table;
// 0, or a negative code with the message in err.
int discover_live(int kind, int timeout_ms, char *err, size_t errn);
// Searches for one device (kind 1..3, its UDN also asked for by name) until its row is
// in the table, for at most timeout_ms. The row's index, or a negative code with the
// last error set: KVDMC_E_UNKNOWN when it did not answer in time. A device already in the
// table is not searched for. Not exported: the command-line tool, which links the
// component, declares it in its own header.
int discover_device(int kind, const char *udn, int timeout_ms);
// The table's clock: monotonic milliseconds plus the test skew below.
uint64_t dev_now(void);

// Test hook: added to the monotonic clock the table reads.
extern uint64_t g_dev_clock_skew_ms;
