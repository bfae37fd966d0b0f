#pragma once
// The supervisor's full-screen dashboard, composed from the DashModel into the cell grid.
#include "events/event_reader.h"

// Composes the frame of model m into the grid, which the caller has begun at its size. now is
// monotonic seconds; blink (0 or 1) alternates the colour of the progress bar.
void compose_dashboard_screen(const DashModel& m, int blink, double now);
// Sizes the grid from the terminal, composes the frame of g_dash_model and writes it.
void draw_dashboard_screen(int blink);
