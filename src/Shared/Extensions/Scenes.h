#pragma once

namespace Orvex {

// Registers every screen of the client with its group. Kept in one place so the
// static library's linker keeps every screen that can be created by name.
void registerAllScenes();

} // namespace Orvex
