using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Trovel
{
    /// <summary>What the library offers besides lines and controllers.</summary>
    public static class Sdk
    {
        static Sdk() { NativeLoader.Preload(); }

        /// <summary>The version of the library actually loaded, "MAJOR.MINOR.PATCH".</summary>
        public static string Version { get { return Marshal.PtrToStringAnsi(Native.TrovelVersion()); } }

        /// <summary>The serial ports present ("COM3"; on Linux device paths).</summary>
        public static string[] Ports()
        {
            byte[] buffer = new byte[256];
            // The count may grow between the two calls: ask again until everything fits.
            while (true) {
                int count = Native.TrovelListPorts(buffer, buffer.Length);
                string[] names = Encoding.ASCII.GetString(buffer).Split(new[] { '\n', '\0' },
                                                                        StringSplitOptions.RemoveEmptyEntries);
                if (names.Length >= count)
                    return names;
                buffer = new byte[buffer.Length * 4];
            }
        }

        /// <summary>The serial ports with their descriptions (TrovelListPortsInfo).</summary>
        public static PortInfo[] ListPortsInfo() { return PortInfo.List(); }

        /// <summary>CRC-16 of Modbus with its bytes exchanged: the high byte goes first in a frame.</summary>
        public static int Crc16(byte[] data)
        {
            if (data == null)
                throw new ArgumentNullException("data");
            return Native.CRC16(data, data.Length);
        }

        /// <summary>Adds the low 8 bits of shift to every byte of text (StrEncode).</summary>
        public static byte[] Encode(byte[] text, int shift) { return Shift(text, shift, true); }

        /// <summary>Subtracts the low 8 bits of shift from every byte of text (StrDecode).</summary>
        public static byte[] Decode(byte[] text, int shift) { return Shift(text, shift, false); }

        static byte[] Shift(byte[] text, int shift, bool encode)
        {
            if (text == null)
                throw new ArgumentNullException("text");
            // The library codes up to the source's NUL and writes none.
            byte[] source = new byte[text.Length + 1];
            Array.Copy(text, source, text.Length);
            IntPtr buffer = Marshal.AllocHGlobal(text.Length + 1);
            try {
                IntPtr destination = buffer;
                int done = encode ? Native.StrEncode(source, ref destination, shift)
                                  : Native.StrDecode(source, ref destination, shift);
                TrovelException.CheckRefused(done, encode ? "StrEncode" : "StrDecode");
                byte[] coded = new byte[Array.IndexOf(source, (byte)0)];
                Marshal.Copy(buffer, coded, 0, coded.Length);
                return coded;
            } finally {
                Marshal.FreeHGlobal(buffer);
            }
        }
    }
}
