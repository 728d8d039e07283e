// `torvalen render`: runs one instance over a file as fast as the engine goes and
// writes a time-aligned result.
#pragma once

#include <string>
#include <vector>

namespace torvalen {

extern const char* const render_usage_text;

// Runs the render command with its arguments (after "render"). Prints progress and
// the result's figures; returns the process exit code (0 done, 1 failed, 2 usage).
int run_render(const std::vector<std::string>& args);

}  // namespace torvalen
