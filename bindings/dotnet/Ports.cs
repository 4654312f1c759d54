// The serial ports with what the system tells about each: TrovelPortInfo and
// TrovelListPortsInfo as declared in TrovelSdk.h, and the typed list built on them.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Trovel
{
    /// <summary>TrovelPortInfo, byte for byte; text fields are NUL-terminated UTF-8.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct NativePortInfo
    {
        public uint Size;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 256)] public byte[] Name;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 128)] public byte[] Description;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 64)] public byte[] Manufacturer;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 64)] public byte[] SerialNumber;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 64)] public byte[] Location;
        public int VendorId;
        public int ProductId;
        public int LatencyTimerMs;
        public int InUse;
    }

    /// <summary>One serial port (TrovelListPortsInfo): Name is what <see cref="Line"/> opens;
    /// null or -1 where the system does not tell.</summary>
    public sealed class PortInfo
    {
        public string Name { get; private set; }
        public string Description { get; private set; }
        public string Manufacturer { get; private set; }
        public string SerialNumber { get; private set; }
        public string Location { get; private set; }
        /// <summary>USB VID, e.g. 0x0403; -1 when not a USB adapter.</summary>
        public int VendorId { get; private set; }
        public int ProductId { get; private set; }
        /// <summary>How long the adapter holds received bytes (FTDI: 16 ms by default); -1 unknown.</summary>
        public int LatencyTimerMs { get; private set; }
        /// <summary>Held by another program; null when not known.</summary>
        public bool? InUse { get; private set; }

        internal PortInfo(NativePortInfo p)
        {
            Name = Text(p.Name) ?? "";
            Description = Text(p.Description);
            Manufacturer = Text(p.Manufacturer);
            SerialNumber = Text(p.SerialNumber);
            Location = Text(p.Location);
            VendorId = p.VendorId;
            ProductId = p.ProductId;
            LatencyTimerMs = p.LatencyTimerMs;
            InUse = p.InUse < 0 ? (bool?)null : p.InUse == 1;
        }

        static string Text(byte[] field)
        {
            int end = Array.IndexOf(field, (byte)0);
            string text = Encoding.UTF8.GetString(field, 0, end < 0 ? field.Length : end);
            return text.Length == 0 ? null : text;
        }

        [DllImport(Native.Library, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        static extern int TrovelListPortsInfo(IntPtr ports, int count);

        /// <summary>Every serial port with its adapter's description, USB ids, serial number and location.</summary>
        public static PortInfo[] List()
        {
            int size = Marshal.SizeOf(typeof(NativePortInfo));
            int count = TrovelListPortsInfo(IntPtr.Zero, 0);
            while (count > 0) {
                IntPtr memory = Marshal.AllocHGlobal(size * count);
                try {
                    Marshal.WriteInt32(memory, size);
                    int now = TrovelListPortsInfo(memory, count);
                    if (now <= count) {
                        var ports = new PortInfo[Math.Max(now, 0)];
                        for (int i = 0; i < ports.Length; ++i)
                            ports[i] = new PortInfo((NativePortInfo)Marshal.PtrToStructure(
                                new IntPtr(memory.ToInt64() + (long)i * size), typeof(NativePortInfo)));
                        return ports;
                    }
                    count = now; // a port came meanwhile
                } finally {
                    Marshal.FreeHGlobal(memory);
                }
            }
            return new PortInfo[0];
        }
    }
}
