// The C# binding under mono against trovel-sim: every typed member once, table-driven, and
// failures as TrovelException with the library's cause.
//
//   mono BindingTest.exe TROVEL-SIM
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
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
        } catch (Exception e) {
            got = e.GetType().Name + ": " + e.Message;
        }
        bool ok = got == Show(expected);
        if (ok) passed++; else failed++;
        Console.WriteLine(ok ? "ok    " + name : "FAIL  " + name + ": got " + got + ", expected " + Show(expected));
    }

    static string Show(object value)
    {
        return value is float ? ((float)value).ToString("R") : Convert.ToString(value);
    }

    // The cause a failing action raises, or what it did instead.
    static object Cause(Action action)
    {
        try {
            action();
            return "no exception";
        } catch (TrovelException e) {
            return e.Cause + (e.ExceptionCode != 0 ? " " + e.ExceptionCode : "");
        }
    }

    static object Do(Action action, Func<object> then) { action(); return then(); }

    static object WaitUntilStopped(Controller c)
    {
        for (int i = 0; i < 100 && c.RunState != 0; i++)
            Thread.Sleep(50);
        return c.RunState;
    }

    sealed class Simulator : IDisposable
    {
        readonly Process process;
        readonly string folder = Path.Combine(Path.GetTempPath(), "trovel-dotnet-" + Guid.NewGuid().ToString("N"));
        public readonly string Link;

        public Simulator(string program, string options)
        {
            Directory.CreateDirectory(folder);
            Link = Path.Combine(folder, "line");
            // Its status lines are read and dropped: a full pipe would stall it.
            process = Process.Start(new ProcessStartInfo(program, "--link " + Link + " " + options) {
                UseShellExecute = false, RedirectStandardOutput = true });
            process.BeginOutputReadLine();
            for (int i = 0; i < 300 && !File.Exists(Link); i++)
                Thread.Sleep(50);
            if (!File.Exists(Link))
                throw new Exception("trovel-sim did not start");
        }

        public void Dispose()
        {
            process.Kill();
            process.WaitForExit();
            Directory.Delete(folder, true);
        }
    }

    static int Main(string[] args)
    {
        using (var sim = new Simulator(args[0], "--controllers 1"))
        using (var refusing = new Simulator(args[0], "--controllers 1 --fault exception:2")) {
            // The default line first: the simulator's device takes one opener at a time.
            var first = Line.OpenDefault(sim.Link);
            Check("Line.OpenDefault(path), IsDefault, IsOpen", () => first.IsDefault && first.IsOpen, true);
            Check("default line: Serial", () => first.Controller(1).Serial, "545256-53494D-202103-150001");
            first.Dispose();
            Check("Dispose closes the default line", () => first.IsOpen || Native.IsComOpen() != 0, false);
            Check("Native.CloseCom: a one-byte false after closing", () => Native.OpenComDevice(sim.Link) == 1
                  && !Native.CloseCom() && Native.IsComOpen() == 0, true);

            using (var line = new Line(sim.Link)) {
                Controller c = line.Controller(1);
                Check("Line(device): Device, Handle, IsDefault", () => line.Device == sim.Link
                      && line.Handle != IntPtr.Zero && !line.IsDefault, true);

                var reads = new Dictionary<string, KeyValuePair<Func<object>, object>> {
                    { "MotorSpeed", Pair(() => c.MotorSpeed, 50f) },
                    { "Acceleration", Pair(() => c.Acceleration, 100f) },
                    { "PulseCount", Pair(() => c.PulseCount, 1000f) },
                    { "AutoBeginPoint", Pair(() => c.AutoBeginPoint, 10f) },
                    { "Resolution", Pair(() => c.Resolution, 0.1f) },
                    { "Diameter", Pair(() => c.Diameter, 40f) },
                    { "DelayTime", Pair(() => c.DelayTime, 2f) },
                    { "Position", Pair(() => c.Position, 0f) },
                    { "RunState", Pair(() => c.RunState, 0) },
                    { "RemoteKey", Pair(() => c.RemoteKey, 0) },
                    { "InputState", Pair(() => c.InputState, "00000001") },
                    { "LeftLimit", Pair(() => c.LeftLimit, true) },
                    { "RightLimit", Pair(() => c.RightLimit, false) },
                    { "LeftExtremity", Pair(() => c.LeftExtremity, false) },
                    { "RightExtremity", Pair(() => c.RightExtremity, false) },
                    { "BiosDate", Pair(() => c.BiosDate, "2020-01-15") },
                };
                foreach (var read in reads)
                    Check(read.Key, read.Value.Key, read.Value.Value);

                // Each write, then the read that shows it; the points keep the runs below short.
                var writes = new[] {
                    Row("EndPoint = 20", () => c.EndPoint = 20f, () => c.EndPoint, 20f),
                    Row("BeginPoint = 2", () => c.BeginPoint = 2f, () => c.BeginPoint, 2f),
                    Row("AutoEndPoint = 15", () => c.AutoEndPoint = 15f, () => c.AutoEndPoint, 15f),
                    Row("MotorSpeed = 80", () => c.MotorSpeed = 80f, () => c.MotorSpeed, 80f),
                    Row("Acceleration = 400", () => c.Acceleration = 400f, () => c.Acceleration, 400f),
                    Row("PulseCount = 2000", () => c.PulseCount = 2000f, () => c.PulseCount, 2000f),
                    Row("AutoBeginPoint = 4", () => c.AutoBeginPoint = 4f, () => c.AutoBeginPoint, 4f),
                    Row("Resolution = 0.5", () => c.Resolution = 0.5f, () => c.Resolution, 0.5f),
                    Row("Diameter = 35", () => c.Diameter = 35f, () => c.Diameter, 35f),
                    Row("DelayTime = 0.1", () => c.DelayTime = 0.1f, () => c.DelayTime, 0.1f),
                    Row("WorkMode = 1", () => c.WorkMode = 1, () => c.WorkMode, 1),
                    Row("MotorDirection = 1", () => c.MotorDirection = 1, () => c.MotorDirection, 1),
                    Row("RemoteFunction = 1", () => c.RemoteFunction = 1, () => c.RemoteFunction, 1),
                    Row("FactoryDate = 2022-05-17", () => c.FactoryDate = "2022-05-17", () => c.FactoryDate, "2022-05-17"),
                    Row("FixPosition(3)", () => c.FixPosition(3f), () => c.Position, 3f),
                    Row("ResetBeginPoint()", c.ResetBeginPoint, () => c.BeginPoint, 3f),
                    Row("SetSwitch(3, true)", () => c.SetSwitch(3, true), () => c.SwitchState, "001000"),
                    Row("SwitchAllOn()", c.SwitchAllOn, () => c.SwitchState, "111111"),
                    Row("SwitchAllOff()", c.SwitchAllOff, () => c.SwitchState, "000000"),
                    Row("MoveRight()", c.MoveRight, () => WaitUntilStopped(c).Equals(0) && c.RightLimit, true),
                    Row("MoveLeft(), Stop()", () => { c.MoveLeft(); c.Stop(); }, () => WaitUntilStopped(c), 0),
                    Row("MoveAuto(), Init()", () => { c.MoveAuto(); c.SwitchAllOn(); c.Init(); },
                        () => WaitUntilStopped(c) + " " + c.SwitchState, "0 000000"),
                    Row("RestoreDefaults()", c.RestoreDefaults, () => c.MotorSpeed, 50f),
                    Row("ChangeAddress(7)", () => { c = c.ChangeAddress(7); }, () => c.Address + " " + c.MotorSpeed, "7 50"),
                    Row("ChangeAddress(1)", () => { c = c.ChangeAddress(1); }, () => c.Address, 1),
                };
                foreach (var w in writes)
                    Check(w.Name, () => Do(w.Write, w.Read), w.Expected);

                var records = new List<TraceRecord>();
                Check("SetTrace: a record per exchange, the delegate alive after a collection", () => {
                    line.SetTrace(records.Add);
                    GC.Collect();
                    GC.WaitForPendingFinalizers();
                    float speed = c.MotorSpeed;
                    line.SetTrace(null);
                    float unseen = c.MotorSpeed;
                    TraceRecord r = records[0];
                    return records.Count + " " + r.Address + " " + BitConverter.ToString(r.Request, 0, 2) + " "
                           + r.Reply.Length + " " + r.Outcome + " " + (r.ElapsedMicroseconds > 0) + " " + (speed == unseen);
                }, "1 1 01-03 9 0 True True");

                Check("settings: SetTimeouts, SetRetries, SetLocalEcho, SetReplyMode", () => {
                    line.SetTimeouts(300, 50);
                    line.SetRetries(1);
                    line.SetLocalEcho(false);
                    line.SetReplyMode(ReplyMode.Frame);
                    return c.Serial;
                }, "545256-53494D-202103-150001");
                Check("Statistics", () => {
                    LineStatistics s = line.Statistics;
                    return s.Size + " " + (s.Exchanges > 40) + " " + (s.Successes == s.Exchanges - s.Failures);
                }, "68 True True");

                Check("Sdk.Version", () => Sdk.Version, args.Length > 1 ? args[1] : "");
                Check("Sdk.Crc16", () => Sdk.Crc16(new byte[] { 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39 }), 0x374B);
                Check("Sdk.Encode, Sdk.Decode", () => BitConverter.ToString(Sdk.Encode(new byte[] { 0x41, 0xFF }, 2)) + " "
                      + BitConverter.ToString(Sdk.Decode(new byte[] { 0x43, 0x01 }, 2)), "43-01 41-FF");
                Check("Sdk.Ports", () => Sdk.Ports() != null, true);

                // Failures: the cause the library recorded, carried by the exception.
                var failures = new[] {
                    Row("refused argument", () => c.MotorSpeed = -1f, null, "ArgumentRefused"),
                    Row("refused setting", () => line.SetTimeouts(5, 2), null, "ArgumentRefused"),
                    Row("silent controller", () => { float v = line.Controller(5).MotorSpeed; }, null, "NoReply"),
                    Row("exception reply 02", () => { using (var l = new Line(refusing.Link)) { int m = l.Controller(1).WorkMode; } },
                        null, "ExceptionReply 2"),
                    Row("no such device", () => new Line(sim.Link + ".absent").Dispose(), null, "NoDevice"),
                };
                foreach (var f in failures)
                    Check("TrovelException: " + f.Name, () => Cause(f.Write), f.Expected);
                Check("TrovelException: code and text", () => {
                    try {
                        c.MotorSpeed = -1f;
                        return "no exception";
                    } catch (TrovelException e) {
                        return e.Code + " " + e.Message.StartsWith("TrovelSetMotorSpeed: ") + " " + (e.Message.Length > 21);
                    }
                }, "2 True True");
            }
        }
        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }

    static KeyValuePair<Func<object>, object> Pair(Func<object> read, object expected)
    {
        return new KeyValuePair<Func<object>, object>(read, expected);
    }

    sealed class TestRow
    {
        public string Name;
        public Action Write;
        public Func<object> Read;
        public object Expected;
    }

    static TestRow Row(string name, Action write, Func<object> read, object expected)
    {
        return new TestRow { Name = name, Write = write, Read = read, Expected = expected };
    }
}
