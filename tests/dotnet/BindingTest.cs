// The C# binding under mono against trovel-sim: every typed member once, table-driven, and
// failures as TrovelException with the library's cause.   mono BindingTest.exe TROVEL-SIM VERSION
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Threading;
using Trovel;

static class BindingTest
{
    static int passed, failed;

    static void Check(string name, Func<object> actual, object expected)
    {
        string got;
        try {
            got = Show(actual());
        } catch (Exception thrown) {
            Exception e = thrown is System.Reflection.TargetInvocationException ? thrown.InnerException : thrown;
            got = e is TrovelException t ? "TrovelException " + t.Cause + (t.ExceptionCode != 0 ? " " + t.ExceptionCode : "")
                                         : e.GetType().Name + ": " + e.Message;
        }
        bool ok = got == Show(expected);
        if (ok) passed++; else failed++;
        Console.WriteLine((ok ? "ok    " : "FAIL  ") + name + (ok ? "" : ": got " + got + ", expected " + Show(expected)));
    }

    static string Show(object value) { return value is float f ? f.ToString("R") : Convert.ToString(value); }

    static object Stopped(Controller c)
    {
        for (int i = 0; i < 100 && c.RunState != 0; i++)
            Thread.Sleep(50);
        return c.RunState;
    }

    // A simulator on a link of its own; its status lines are read and dropped so it never stalls.
    static string Simulator(string program, string options, List<(Process, string)> started)
    {
        string link = Path.Combine(Path.GetTempPath(), "trovel-dotnet-" + Guid.NewGuid().ToString("N"));
        var process = Process.Start(new ProcessStartInfo(program, "--link " + link + " " + options) {
            UseShellExecute = false, RedirectStandardOutput = true });
        process.BeginOutputReadLine();
        started.Add((process, link));
        for (int i = 0; i < 300 && !File.Exists(link); i++)
            Thread.Sleep(50);
        return link;
    }

    static int Main(string[] args)
    {
        var simulators = new List<(Process, string)>();
        string device = Simulator(args[0], "--controllers 1", simulators);
        string refusing = Simulator(args[0], "--controllers 1 --fault exception:2", simulators);
        try {
            // The default line first: the simulator's device takes one opener at a time.
            var first = Line.OpenDefault(device);
            Check("Line.OpenDefault(path): IsDefault, IsOpen, Serial", () => first.IsDefault + " " + first.IsOpen + " "
                  + first.Controller(1).Serial, "True True 545256-53494D-202103-150001");
            first.Dispose();
            Check("Dispose closes the default line", () => first.IsOpen || Native.IsComOpen() != 0, false);
            Check("Native.CloseCom: a one-byte false", () => Native.OpenComDevice(device) == 1 && !Native.CloseCom()
                  && Native.IsComOpen() == 0, true);

            using (var line = new Line(device)) {
                Controller c = line.Controller(1);
                // Every property: the read-only ones as the simulator starts, then each writable one
                // written and read back (the points keep the runs below short).
                var properties = new (string, object)[] { ("Serial", "545256-53494D-202103-150001"), ("BiosDate", "2020-01-15"),
                    ("Position", 0f), ("RunState", 0), ("RemoteKey", 0), ("InputState", "00000001"), ("LeftLimit", true),
                    ("RightLimit", false), ("LeftExtremity", false), ("RightExtremity", false), ("Address", 1) };
                var writable = new (string, object)[] { ("EndPoint", 20f), ("BeginPoint", 2f), ("AutoBeginPoint", 4f),
                    ("AutoEndPoint", 15f), ("MotorSpeed", 80f), ("Acceleration", 400f), ("PulseCount", 2000f), ("Resolution", 0.5f),
                    ("Diameter", 35f), ("DelayTime", 0.1f), ("WorkMode", 1), ("MotorDirection", 1), ("RemoteFunction", 1),
                    ("FactoryDate", "2022-05-17") };
                Check("every property in a table (Line, SwitchState in the rows)", () => string.Join(" ",
                      typeof(Controller).GetProperties().Select(p => p.Name).Except(properties.Concat(writable).Select(p => p.Item1)).OrderBy(n => n)),
                      "Line SwitchState");
                foreach (var p in properties)
                    Check(p.Item1, () => typeof(Controller).GetProperty(p.Item1).GetValue(c), p.Item2);
                foreach (var p in writable)
                    Check(p.Item1 + " = " + p.Item2, () => {
                        typeof(Controller).GetProperty(p.Item1).SetValue(c, p.Item2);
                        return typeof(Controller).GetProperty(p.Item1).GetValue(c);
                    }, p.Item2);
                // Name, what to do first (if anything), what to read then, and what it must be.
                var rows = new (string, Action, Func<object>, object)[] {
                    ("Line(device): Device, IsDefault, Controller.Line", null, () => (line.Device == device) + " " + line.IsDefault
                     + " " + (c.Line == line), "True False True"),
                    ("FixPosition(3)", () => c.FixPosition(3f), () => c.Position, 3f),
                    ("ResetBeginPoint()", c.ResetBeginPoint, () => c.BeginPoint, 3f),
                    ("SetSwitch(3, true)", () => c.SetSwitch(3, true), () => c.SwitchState, "001000"),
                    ("SwitchAllOn()", c.SwitchAllOn, () => c.SwitchState, "111111"),
                    ("SwitchAllOff()", c.SwitchAllOff, () => c.SwitchState, "000000"),
                    ("MoveRight()", c.MoveRight, () => Stopped(c) + " " + c.RightLimit, "0 True"),
                    ("MoveLeft(), Stop()", () => { c.MoveLeft(); c.Stop(); }, () => Stopped(c), 0),
                    ("MoveAuto(), Init()", () => { c.MoveAuto(); c.SwitchAllOn(); c.Init(); }, () => Stopped(c) + " " + c.SwitchState, "0 000000"),
                    ("RestoreDefaults()", c.RestoreDefaults, () => c.MotorSpeed, 50f),
                    ("ChangeAddress(7)", () => c = c.ChangeAddress(7), () => c.Address + " " + c.MotorSpeed, "7 50"),
                    ("ChangeAddress(1)", () => c = c.ChangeAddress(1), () => c.Address, 1),
                    ("settings", () => { line.SetTimeouts(300, 50); line.SetRetries(1); line.SetLocalEcho(false);
                                         line.SetReplyMode(ReplyMode.Frame); }, () => c.Serial, "545256-53494D-202103-150001"),
                    ("Statistics", null, () => line.Statistics.Size + " " + (line.Statistics.Exchanges > 40), "68 True"),
                    ("Sdk.Version", null, () => Sdk.Version, args[1]),
                    ("Sdk.Crc16", null, () => Sdk.Crc16(new byte[] { 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39 }), 0x374B),
                    ("Sdk.Encode, Sdk.Decode", null, () => BitConverter.ToString(Sdk.Encode(new byte[] { 0x41, 0xFF }, 2)) + " "
                     + BitConverter.ToString(Sdk.Decode(new byte[] { 0x43, 0x01 }, 2)), "43-01 41-FF"),
                    ("Sdk.Ports", null, () => Sdk.Ports().Length >= 0, true),
                    // A layout otherwise than the C struct's shifts or cuts the names.
                    ("Sdk.ListPortsInfo", null, () => string.Join(" ", Array.ConvertAll(Sdk.ListPortsInfo(), p => p.Name)),
                     string.Join(" ", Sdk.Ports())),
                    // Failures carry the cause the library recorded.
                    ("refused argument", null, () => c.MotorSpeed = -1f, "TrovelException ArgumentRefused"),
                    ("its code and text", null, () => { try { c.MotorSpeed = -1f; } catch (TrovelException e) { return e.Code + " " + e.Message; }
                                                        return null; }, "2 TrovelSetMotorSpeed: " + TrovelException.TextOf(2)),
                    ("refused setting", () => line.SetTimeouts(5, 2), null, "TrovelException ArgumentRefused"),
                    ("silent controller", null, () => line.Controller(5).MotorSpeed, "TrovelException NoReply"),
                    ("exception reply 02", null, () => { using (var l = new Line(refusing)) return l.Controller(1).WorkMode; },
                     "TrovelException ExceptionReply 2"),
                    ("no such device", null, () => new Line(device + ".absent"), "TrovelException NoDevice"),
                };
                foreach (var row in rows)
                    Check(row.Item1, () => { row.Item2?.Invoke(); return row.Item3?.Invoke(); }, row.Item4);

                var records = new List<TraceRecord>();
                Check("SetTrace: one record, the delegate alive after a collection", () => {
                    line.SetTrace(records.Add);
                    GC.Collect();
                    GC.WaitForPendingFinalizers();
                    float speed = c.MotorSpeed;
                    line.SetTrace(null);
                    speed = c.MotorSpeed;
                    TraceRecord r = records[0];
                    return $"{records.Count} {r.Address} {BitConverter.ToString(r.Request, 0, 2)} {r.Reply.Length} {r.Outcome}";
                }, "1 1 01-03 9 0");
            }
        } finally {
            foreach (var simulator in simulators) {
                simulator.Item1.Kill();
                File.Delete(simulator.Item2);
            }
        }
        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
