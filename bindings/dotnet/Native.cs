// Every export of TrovelSdk.dll (libtrovelsdk.so.1 on Linux) as declared in TrovelSdk.h,
// one to one: C names, C results (1 success, 0 failure), no checks added. The typed layer
// (Line, Controller) is built on these; use them directly only for what it leaves out.
//
// Winapi is stdcall on 32-bit Windows and the platform's C convention elsewhere, as the
// header's TROVEL_CALL. Text outputs are char**: pass a pointer to your own buffer by ref
// (serial 28 bytes, dates 14, switch string 7, input string 9). Strings the library owns
// (TrovelVersion, TrovelErrorText) come back as IntPtr so the marshaller does not free them.
using System;
using System.Runtime.InteropServices;

namespace Trovel
{
    /// <summary>TrovelLineStats: counts since the line was opened. Size goes first and is
    /// set by <see cref="Native.NewLineStats"/>.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct LineStatistics
    {
        public uint Size;
        public uint Exchanges;
        public uint Successes;
        public uint Failures;
        public uint NoReply;
        public uint ShortReplies;
        public uint CrcErrors;
        public uint Mismatches;
        public uint TwoFrames;
        public uint Exceptions;
        public uint EchoErrors;
        public uint DeviceGone;
        public uint Retries;
        public uint Settles;
        public uint Reopens;
        public uint BytesSent;
        public uint BytesReceived;
    }

    public static class Native
    {
        public const string Library = "TrovelSdk";
        const CallingConvention Call = CallingConvention.Winapi;

        // Runs before the first call of any export below.
        static Native() { NativeLoader.Preload(); }

        /// <summary>TrovelTraceFn: called once per exchange, on the calling thread, after the
        /// line's lock is released. Keep the delegate referenced while it is registered.</summary>
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        public delegate void TraceFn(IntPtr user, IntPtr line, int address, IntPtr request, int requestLength,
                                     IntPtr reply, int replyLength, int elapsedMicroseconds, int outcome);

        public static LineStatistics NewLineStats()
        {
            return new LineStatistics { Size = (uint)Marshal.SizeOf(typeof(LineStatistics)) };
        }

        // ---- Port control
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int OpenCom(uint port);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] [return: MarshalAs(UnmanagedType.I1)] public static extern bool CloseCom();
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int IsComOpen();
        /// <summary>Linux only: not exported by TrovelSdk.dll.</summary>
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int OpenComDevice([MarshalAs(UnmanagedType.LPStr)] string path);

        // ---- Checksum and character shift coding
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int CRC16(byte[] data, int count);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int StrEncode(byte[] source, ref IntPtr destination, int shift);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int StrDecode(byte[] source, ref IntPtr destination, int shift);

        // ---- Status and mode reads
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetWorkMode(int address, out int mode);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetMotorVeer(int address, out int direction);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetRemoteFunction(int address, out int function);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetRunState(int address, out int state);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetRemoteKeyState(int address, out int key);

        // ---- Motion parameters
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetBeginPoint(int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetEndPoint(int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetAutoBeginPoint(int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetAutoEndPoint(int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetResolution(int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetDiameter(int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetMotorSpeed(int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetMotorAcc(int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetPulseCount(int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetDelayTime(int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetCurrentPoint(int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetMotorSpeed(int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetMotorAcc(int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetPulseCount(int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetBeginPoint(int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetEndPoint(int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetAutoBeginPoint(int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetAutoEndPoint(int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetResolution(int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetDiameter(int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetDelayTime(int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int FixedCurrentPoint(int address, float value);

        // ---- Configuration writes
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetWorkMode(int address, int mode);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetMotorVeer(int address, int direction);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetRemoteFunction(int address, int function);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetAddress(int address, int newAddress);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int ResetBeginPoint(int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetDefault(int address);

        // ---- Motion commands
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetMoveLeft(int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetMoveRight(int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetMoveAuto(int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetMoveStop(int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetInit(int address);

        // ---- Switch outputs and inputs
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetSwichAllOff(int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetSwichAllOn(int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetSwichState(int address, int index, int state);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetSwichState(int address, ref IntPtr text);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetIoInputState(int address, ref IntPtr text);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetRightExtremity(int address, out int state);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetLeftExtremity(int address, out int state);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetRightLimit(int address, out int state);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetLeftLimit(int address, out int state);

        // ---- Identity and dates
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetSerial(int address, ref IntPtr text);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetBiosDate(int address, ref IntPtr text);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int GetFactroyDate(int address, ref IntPtr text);
        /// <summary>Removes the dashes from text in place: pass a NUL-terminated ASCII array.</summary>
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int SetFactroyDate(int address, byte[] text);

        // ---- Extensions: version, lines, causes, trace, settings, statistics
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern IntPtr TrovelVersion();
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern IntPtr TrovelOpenLine([MarshalAs(UnmanagedType.LPStr)] string device);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern void TrovelCloseLine(IntPtr line);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern IntPtr TrovelDefaultLine();
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelListPorts(byte[] buffer, int size);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelLastError();
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern IntPtr TrovelErrorText(int code);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetTrace(IntPtr line, TraceFn fn, IntPtr user);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetTimeouts(IntPtr line, int totalMs, int gapMs);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetRetries(IntPtr line, int count);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetLocalEcho(IntPtr line, int on);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetReplyMode(IntPtr line, int mode);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetLineStats(IntPtr line, ref LineStatistics stats);

        // ---- Twins of the controller calls on a given line (IntPtr.Zero: the default line)
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetDefault(IntPtr line, int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetSerial(IntPtr line, int address, ref IntPtr text);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetWorkMode(IntPtr line, int address, out int mode);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetMotorVeer(IntPtr line, int address, out int direction);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetRemoteFunction(IntPtr line, int address, out int function);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetSwichState(IntPtr line, int address, ref IntPtr text);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetIoInputState(IntPtr line, int address, ref IntPtr text);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetRightExtremity(IntPtr line, int address, out int state);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetLeftExtremity(IntPtr line, int address, out int state);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetRightLimit(IntPtr line, int address, out int state);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetLeftLimit(IntPtr line, int address, out int state);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetRunState(IntPtr line, int address, out int state);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetRemoteKeyState(IntPtr line, int address, out int key);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetBiosDate(IntPtr line, int address, ref IntPtr text);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetFactroyDate(IntPtr line, int address, ref IntPtr text);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetBeginPoint(IntPtr line, int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetEndPoint(IntPtr line, int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetAutoBeginPoint(IntPtr line, int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetAutoEndPoint(IntPtr line, int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetResolution(IntPtr line, int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetDiameter(IntPtr line, int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetMotorSpeed(IntPtr line, int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetMotorAcc(IntPtr line, int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetPulseCount(IntPtr line, int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetDelayTime(IntPtr line, int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelGetCurrentPoint(IntPtr line, int address, out float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetMoveLeft(IntPtr line, int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetMoveRight(IntPtr line, int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetMoveAuto(IntPtr line, int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetMoveStop(IntPtr line, int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetSwichAllOff(IntPtr line, int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetSwichAllOn(IntPtr line, int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetSwichState(IntPtr line, int address, int index, int state);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetInit(IntPtr line, int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetFactroyDate(IntPtr line, int address, byte[] text);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetMotorSpeed(IntPtr line, int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetMotorAcc(IntPtr line, int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetPulseCount(IntPtr line, int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetBeginPoint(IntPtr line, int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetEndPoint(IntPtr line, int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetAutoBeginPoint(IntPtr line, int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetAutoEndPoint(IntPtr line, int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetResolution(IntPtr line, int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetDiameter(IntPtr line, int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelResetBeginPoint(IntPtr line, int address);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetWorkMode(IntPtr line, int address, int mode);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetAddress(IntPtr line, int address, int newAddress);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetMotorVeer(IntPtr line, int address, int direction);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetRemoteFunction(IntPtr line, int address, int function);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelSetDelayTime(IntPtr line, int address, float value);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)] public static extern int TrovelFixedCurrentPoint(IntPtr line, int address, float value);
    }
}
