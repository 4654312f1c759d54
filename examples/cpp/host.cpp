// A small host program, the C++ twin of host.c: opens the controllers' serial device, reads
// one controller, switches output 1 on, runs the screen to its right end, and reports where
// it stopped.
//
//   trovel-host-example-cpp /dev/ttyUSB0 [ADDRESS]
//
// Build against an installed library: c++ -std=c++17 host.cpp $(pkg-config --cflags --libs trovelsdk)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "trovel/trovel.hpp"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DEVICE [ADDRESS]\n", argv[0]);
        return 2;
    }
    const int address = argc > 2 ? std::atoi(argv[2]) : 1;

    trovel::Line line;
    try {
        line = trovel::Line{argv[1]}; // "COM3" on Windows
    } catch (const trovel::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 3;
    }
    line.SetRetries(2); // a few lost replies are no reason to give up

    const auto screen = line.Controller(address);
    try {
        std::printf("controller %d: serial %s, speed %g, points %g .. %g, at %g\n", address, screen.Serial().c_str(),
                    screen.MotorSpeed(), screen.BeginPoint(), screen.EndPoint(), screen.CurrentPoint());

        screen.SetSwitchState(1, true);
        screen.MoveRight();
        // A run at the default speed takes a few seconds; give up long after that.
        const bool stopped = screen.WaitUntilStopped(std::chrono::seconds(60), [](float position, trovel::RunState) {
            std::printf("position %.2f\n", position);
        });
        if (!stopped)
            screen.Stop();

        screen.SetSwitchState(1, false);
        std::string outputs;
        for (bool on : screen.SwitchState())
            outputs += on ? '1' : '0';
        std::printf("outputs %s\n", outputs.c_str());

        if (!stopped || !screen.RightLimit()) {
            std::fprintf(stderr, "the screen did not reach its right limit\n");
            return 1;
        }
        std::printf("stopped at %g: right limit reached\n", screen.CurrentPoint());
        return 0;
    } catch (const trovel::Error& e) {
        // e.Cause() tells a silent controller (NoReply) from a refused value (Argument) and the rest.
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
