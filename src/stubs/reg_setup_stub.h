// TEMPORARY: stands in for the register path set-up until it is merged.
#pragma once
#include <cstdint>
extern "C" int crx_reg_setup(uint8_t board);
