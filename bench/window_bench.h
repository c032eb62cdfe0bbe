// SPDX-License-Identifier: GPL-3.0-or-later
// The window benchmark's side: the repair pass through Form1, with controls that do a window's
// work on each progress step, and (with Qt) on a real QProgressBar.
#pragma once

#include <memory>
#include <string>

namespace kestrova::bench {

// Stops the benchmark with the message when `ok` is false.
void Must(bool ok, const std::string& what);

// Starts the window toolkit, when the benchmark has one (Qt, offscreen), for as long as the value
// returned lives; before any window pass.
std::shared_ptr<void> StartWindowToolkit(int& argc, char** argv);

// One Repair click on drive F through Form1: the seconds it took.
double WindowPass();
#ifdef KESTROVA_BENCH_QT
double QtWindowPass();
#endif

}  // namespace kestrova::bench
