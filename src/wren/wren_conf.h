// What the Wren start sequence needs of the configuration.
#pragma once

namespace crx::wren {

// True once ostra_wren_priv_cfg_init has run (a board configuration did).
bool priv_cfg_initialised();

}  // namespace crx::wren
