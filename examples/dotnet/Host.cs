// A small host program in C#: opens the line named on its command line ("COM3" on Windows, a
// device path on Linux), reads one controller, switches output 1 on, runs the screen to its
// right end and reports where it stopped. Every failure is a TrovelException with its cause.
//
//   TrovelHost.exe COM3 [ADDRESS]
//
// Build: csc Host.cs ..\..\bindings\dotnet\*.cs   (mono: mcs Host.cs ../../bindings/dotnet/*.cs)
using System;
using System.Diagnostics;
using System.Globalization;
using System.Threading;
using Trovel;

static class Host
{
    static int Main(string[] args)
    {
        if (args.Length < 1) {
            Console.Error.WriteLine("usage: TrovelHost DEVICE [ADDRESS]");
            return 2;
        }
        int address = args.Length > 1 ? int.Parse(args[1]) : 1;
        Thread.CurrentThread.CurrentCulture = CultureInfo.InvariantCulture;

        try {
            using (var line = new Line(args[0])) {
                Controller screen = line.Controller(address);
                Console.WriteLine("controller {0}: serial {1}, speed {2}, points {3} .. {4}, at {5}", address,
                                  screen.Serial, screen.MotorSpeed, screen.BeginPoint, screen.EndPoint, screen.Position);

                screen.SetSwitch(1, true);
                screen.MoveRight();
                // Follow the run: it is over when the right limit input is made or the run state is 0.
                var clock = Stopwatch.StartNew();
                bool atLimit = false;
                float position = 0;
                while (!atLimit && clock.Elapsed.TotalSeconds < 60) {
                    Thread.Sleep(200);
                    try {
                        int state = screen.RunState;
                        atLimit = screen.RightLimit;
                        position = screen.Position;
                        Console.WriteLine("position {0:F2}", position);
                        if (state == 0)
                            break;
                    } catch (TrovelException e) {
                        if (e.Cause != ErrorCause.NoReply)
                            throw;
                        // One lost reply is no reason to give up.
                    }
                }

                screen.SetSwitch(1, false);
                Console.WriteLine("outputs {0}", screen.SwitchState);
                if (!atLimit) {
                    screen.Stop();
                    Console.Error.WriteLine("the screen did not reach its right limit");
                    return 1;
                }
                Console.WriteLine("stopped at {0}: right limit reached", position);
                return 0;
            }
        } catch (TrovelException e) {
            Console.Error.WriteLine(e.Message);
            // The exit codes of trovelctl: 3 when the port cannot be opened, 1 for the controller.
            return e.Cause >= ErrorCause.NoDevice && e.Cause <= ErrorCause.OpenFailed ? 3 : 1;
        }
    }
}
