// The parts of the configuration file reader, each applying one object of
// the parsed file. They log every problem themselves and return 0 or -1.
// A file applies in order (board, gateway, filter), so whatever a part
// applied before it failed stays applied.
#pragma once

#include <cstdint>

#include "config/json_values.h"
#include "crx.h"

namespace crx::config {

// One "crx_conf" element on the FPGA boards: the board record through
// crx_conf_board, then every "SX1301_conf" chip and its ten channels.
int parse_board_conf(const Json& object, uint8_t board);

// The forwarder's own settings of "gateway_conf" into `record`; keys that
// are absent leave their field as it was.
int parse_gateway_conf(const Json& object, crx_gw_cfg_t& record);

// The device addresses of "filter_conf", added to the localization filter.
int parse_filter_conf(const Json& array);

// The library's gateway record, with its defaults until a file changes it.
crx_gw_cfg_t& gateway_record();

}  // namespace crx::config

namespace crx {

// The "listen_before_talk" object of a board object into cfg->lbt: -1 for
// a null object, else 0 (entries that do not hold up are skipped).
int parse_lbt_json_conf(crx_board_cfg_t* cfg, const nlohmann::json* object);

// One "crx_conf" element on the Wren boards, whose driver knows its radio
// plan itself: band, LBT, FSK sync word and the one chip's channels.
int parse_ostra_wren_configuration(const nlohmann::json* object);

}  // namespace crx
