#pragma once

class FakeController;
struct MainWindowProbe;

// Shows the window and waits until it is active (keys need the focus), then connects it to
// controller's port and lets a DVX1901 with firmware 3.12 identify itself. False if any of that
// did not happen.
bool connectActiveWindow(MainWindowProbe &probe, FakeController &controller);
