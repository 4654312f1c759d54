using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;

namespace Trovel
{
    /// <summary>How a read ends: on silence after the last byte (the classic rule) or as soon
    /// as a complete reply has arrived.</summary>
    public enum ReplyMode
    {
        Silence = 0,
        Frame = 1,
    }

    /// <summary>One exchange on a line, as the trace reports it.</summary>
    public sealed class TraceRecord
    {
        public int Address { get; private set; }
        public byte[] Request { get; private set; }
        public byte[] Reply { get; private set; }
        public int ElapsedMicroseconds { get; private set; }
        /// <summary>The cause code of the exchange, 0 for success.</summary>
        public int Outcome { get; private set; }

        internal TraceRecord(int address, byte[] request, byte[] reply, int elapsedMicroseconds, int outcome)
        {
            Address = address;
            Request = request;
            Reply = reply;
            ElapsedMicroseconds = elapsedMicroseconds;
            Outcome = outcome;
        }
    }

    /// <summary>A serial port (or network gateway) with up to 16 controllers. Calls on different
    /// lines run at the same time; calls on one line queue. Dispose closes it.</summary>
    public sealed class Line : IDisposable
    {
        static Line() { NativeLoader.Preload(); }

        // The library keeps only a function pointer: every delegate ever registered stays
        // referenced here, since a call on another thread may still be on its way to an old one.
        static readonly List<Native.TraceFn> registeredTraces = new List<Native.TraceFn>();

        IntPtr handle;
        readonly bool isDefault;

        /// <summary>What the line was opened on, as given.</summary>
        public string Device { get; private set; }

        Line(IntPtr handle, string device, bool isDefault)
        {
            this.handle = handle;
            this.isDefault = isDefault;
            Device = device;
        }

        /// <summary>Opens a line of its own: "COM3", "COM12" on Windows, a device path on Linux,
        /// "rtu+tcp://HOST:PORT" or "modbus+tcp://HOST[:PORT]" for a network gateway.</summary>
        public Line(string device)
        {
            if (device == null)
                throw new ArgumentNullException("device");
            handle = Native.TrovelOpenLine(device);
            if (handle == IntPtr.Zero) {
                int code = Native.TrovelLastError();
                throw new TrovelException(code, "TrovelOpenLine(" + device + "): " + TrovelException.TextOf(code));
            }
            Device = device;
        }

        /// <summary>Opens the default line, the one the classic calls use, on COM<paramref name="port"/>
        /// (/dev/ttyS(port-1) on Linux). If it is open already, it stays on the port it has.</summary>
        public static Line OpenDefault(int port)
        {
            if (port < 0)
                throw new TrovelException((int)ErrorCause.ArgumentRefused, "OpenCom(" + port + "): "
                                          + TrovelException.TextOf((int)ErrorCause.ArgumentRefused));
            TrovelException.Check(Native.OpenCom((uint)port), "OpenCom(" + port + ")");
            return new Line(Native.TrovelDefaultLine(), "COM" + port, true);
        }

        /// <summary>Linux only: opens the default line on a device path.</summary>
        public static Line OpenDefault(string devicePath)
        {
            TrovelException.Check(Native.OpenComDevice(devicePath), "OpenComDevice(" + devicePath + ")");
            return new Line(Native.TrovelDefaultLine(), devicePath, true);
        }

        /// <summary>The TrovelLine* for the Trovel… calls of <see cref="Native"/>.</summary>
        public IntPtr Handle
        {
            get {
                if (handle == IntPtr.Zero)
                    throw new ObjectDisposedException("Line " + Device);
                return handle;
            }
        }

        public bool IsDefault { get { return isDefault; } }

        public bool IsOpen
        {
            get { return handle != IntPtr.Zero && (!isDefault || Native.IsComOpen() != 0); }
        }

        /// <summary>The controller at a device address (1..16) on this line.</summary>
        public Controller Controller(int address)
        {
            return new Controller(this, address);
        }

        /// <summary>A reply must be complete totalMs after the request (10..10000) and ends gapMs
        /// after its last byte (2..totalMs).</summary>
        public void SetTimeouts(int totalMs, int gapMs)
        {
            TrovelException.CheckRefused(Native.TrovelSetTimeouts(Handle, totalMs, gapMs), "TrovelSetTimeouts");
        }

        /// <summary>Repeats an exchange that got no reply or a bad one up to count times (0..5).</summary>
        public void SetRetries(int count)
        {
            TrovelException.CheckRefused(Native.TrovelSetRetries(Handle, count), "TrovelSetRetries");
        }

        /// <summary>For RS-485 adapters that hand the host its own request back before the reply.</summary>
        public void SetLocalEcho(bool on)
        {
            TrovelException.CheckRefused(Native.TrovelSetLocalEcho(Handle, on ? 1 : 0), "TrovelSetLocalEcho");
        }

        public void SetReplyMode(ReplyMode mode)
        {
            TrovelException.CheckRefused(Native.TrovelSetReplyMode(Handle, (int)mode), "TrovelSetReplyMode");
        }

        /// <summary>Counts since the line was opened (the default line: since the library was loaded).</summary>
        public LineStatistics Statistics
        {
            get {
                LineStatistics stats = Native.NewLineStats();
                if (Native.TrovelGetLineStats(Handle, ref stats) == 0)
                    throw new TrovelException((int)ErrorCause.BadLine, "TrovelGetLineStats: "
                                              + TrovelException.TextOf((int)ErrorCause.BadLine));
                return stats;
            }
        }

        /// <summary>Calls handler once per exchange on this line, on the thread that made it;
        /// null turns the trace off. Exceptions from the handler are dropped: they cannot
        /// pass through the library.</summary>
        public void SetTrace(Action<TraceRecord> handler)
        {
            Native.TraceFn fn = null;
            if (handler != null) {
                fn = (user, line, address, request, requestLength, reply, replyLength, elapsed, outcome) => {
                    try {
                        handler(new TraceRecord(address, Bytes(request, requestLength), Bytes(reply, replyLength),
                                                elapsed, outcome));
                    } catch (Exception) {
                    }
                };
            }
            lock (registeredTraces) {
                if (Native.TrovelSetTrace(Handle, fn, IntPtr.Zero) == 0)
                    throw new TrovelException((int)ErrorCause.BadLine, "TrovelSetTrace: "
                                              + TrovelException.TextOf((int)ErrorCause.BadLine));
                if (fn != null)
                    registeredTraces.Add(fn);
            }
        }

        static byte[] Bytes(IntPtr data, int length)
        {
            byte[] bytes = new byte[data == IntPtr.Zero || length < 0 ? 0 : length];
            if (bytes.Length > 0)
                Marshal.Copy(data, bytes, 0, bytes.Length);
            return bytes;
        }

        /// <summary>Closes the line; the default line's port is closed as by CloseCom.</summary>
        public void Dispose()
        {
            if (handle == IntPtr.Zero)
                return;
            Native.TrovelCloseLine(handle);
            handle = IntPtr.Zero;
        }
    }
}
