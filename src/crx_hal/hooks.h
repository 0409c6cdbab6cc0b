// The jobs of other modules that the concentrator's life cycle and its
// housekeeping timer run. Start and stop (start.cpp, timers.cpp) call these
// and nothing else of those modules; each module defines its own.
#pragma once

#include <cstdint>

namespace crx::hooks {

// Temperature (tx_power.cpp): the sensor set-up of start, 0 or -1, and the
// compensation job the housekeeping timer runs every 120 s.
int init_temperature_sensor();
void temperature_job();

// Time reference (crx_gps): the GPS lock check of every housekeeping tick,
// and stop's reset of the lock state and of the reference's validity.
void gps_lock_check();
void time_ref_reset();

// Packet statistics (health): the segment start creates (0 or -1) and the
// hourly roll-over of every housekeeping tick.
int create_pkt_statistic_shm();
void do_packet_history();

// Localization (loc): the engine start runs with full_start, 0 or -1.
int loc_init(uint8_t use_thread);
void loc_deinit(uint8_t use_thread);

// Receive path (rx_queue.cpp, rx_thread.cpp): the queue's semaphore, set to
// 0 by start before the thread exists (0 or -1 with errno set), the thread
// start creates last (0 or an error number) and stop ends first and joins.
int rx_queue_init();
// After the board stopped: wakes the fetch calls waiting for packets.
void rx_queue_release_waiters();
int rx_thread_start();
void rx_thread_stop();

// Defined by start.cpp for the others: the measured difference between the
// FPGA's latched counter and chip 1's, and the diversity flag of start.
int32_t counter_offset();
// Board type 15: the offset taken again from the Wren driver's FPGA timer
// (kept as it was when that read fails).
void recapture_counter_offset();
bool diversity();

}  // namespace crx::hooks
