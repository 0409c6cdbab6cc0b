// The GPS receiver as the application hands it over: its access functions,
// the configuration sequence run over UBX, and the calls kept for
// applications written against older versions.
#include "errors.h"
#include "gps/gps_internal.h"

namespace crx::gps {
namespace {
// Written by crx_conf_gps, read by every UBX exchange; the application runs
// one command at a time, so it needs no lock.
crx_gps_cfg_t g_cfg{};
}  // namespace

const crx_gps_cfg_t& gps_cfg() { return g_cfg; }

}  // namespace crx::gps

extern "C" {

crx_gps_cfg_t* crx_init_gps_cfg(crx_gps_cfg_t* cfg) {
  if (cfg) *cfg = crx_gps_cfg_t{};
  return cfg;
}

int crx_conf_gps(const crx_gps_cfg_t* cfg) {
  if (!cfg || !cfg->read || !cfg->write) return crx::fail(ERR_UNSPECIFIED);
  crx::gps::g_cfg = *cfg;
  return 0;
}

int crx_init_gps(void) {
  using namespace crx::gps;
  if (configure_port() < 0) return -1;
  // SBAS off: the step announces and reports itself as disabling it, and a
  // fixed timing receiver gains nothing from the corrections.
  if (configure_sbas(0) < 0) return -1;
  if (configure_navigation(gps_cfg()) < 0) return -1;
  if (configure_information() < 0) return -1;
  return 0;
}

int crx_gps_enable(void) { return 0; }
int crx_gps_disable(void) { return 0; }
int crx_parse_nmea(void) { return 1; }
int crx_parse_ubx(void) { return 1; }
int crx_gps_get(void) { return -1; }
int crx_gps_sync(void) { return -1; }

}  // extern "C"
