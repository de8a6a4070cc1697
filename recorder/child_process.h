#pragma once

#include <functional>

namespace kivrec {

// Runs argv[0] (looked up in PATH) with the arguments after it as a child
// process and waits for it. SIGINT, SIGTERM, SIGHUP and SIGQUIT sent to
// this process with kill are passed on to the child (the terminal sends
// its own to both). Returns the child's exit status, or 128 + N when a
// signal N ended it, as a shell does; 127 when it could not be started.
// The child is killed when kivrec itself is. While it runs, `work` is
// called every few milliseconds (null: none); it tells whether it found
// anything to do, and is called less often while it finds nothing.
int run_child(char** argv, const std::function<bool()>& work = nullptr);

}  // namespace kivrec
