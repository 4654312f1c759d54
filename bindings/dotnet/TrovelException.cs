using System;
using System.Runtime.InteropServices;

namespace Trovel
{
    /// <summary>Why a call failed: the TROVEL_ERR_* codes of TrovelSdk.h. A Modbus exception
    /// reply is <see cref="ExceptionReply"/>; its code is in <see cref="TrovelException.ExceptionCode"/>.</summary>
    public enum ErrorCause
    {
        Ok = 0,
        NotOpen = 1,
        ArgumentRefused = 2,
        BadLine = 3,
        NoDevice = 10,
        Busy = 11,
        PermissionDenied = 12,
        NotSerial = 13,
        ConnectFailed = 14,
        OpenFailed = 15,
        NoReply = 20,
        ShortReply = 21,
        CrcError = 22,
        Mismatch = 23,
        TwoFrames = 24,
        EchoError = 25,
        DeviceGone = 26,
        Internal = 27,
        BadValue = 28,
        ExceptionReply = 256,
    }

    /// <summary>A call that returned 0: the cause the library recorded for this thread, and its text.</summary>
    public class TrovelException : Exception
    {
        /// <summary>The library's code as is (TROVEL_ERR_*; 256 + n for exception code n).</summary>
        public int Code { get; private set; }
        public ErrorCause Cause { get; private set; }
        /// <summary>The Modbus exception code (1..255) of an exception reply, else 0.</summary>
        public int ExceptionCode { get; private set; }

        public TrovelException(int code, string message) : base(message)
        {
            Code = code;
            if (code >= (int)ErrorCause.ExceptionReply) {
                Cause = ErrorCause.ExceptionReply;
                ExceptionCode = code - (int)ErrorCause.ExceptionReply;
            } else {
                Cause = (ErrorCause)code;
            }
        }

        /// <summary>The library's text for a code; known for unknown codes too.</summary>
        public static string TextOf(int code)
        {
            return Marshal.PtrToStringAnsi(Native.TrovelErrorText(code));
        }

        /// <summary>Throws the calling thread's last cause when result is 0. Call it right after
        /// the call: the cause is per thread and the next call replaces it.</summary>
        internal static void Check(int result, string call)
        {
            if (result != 0)
                return;
            int code = Native.TrovelLastError();
            throw new TrovelException(code, call + ": " + TextOf(code));
        }

        /// <summary>For the calls that record no cause (settings, statistics, trace).</summary>
        internal static void CheckRefused(int result, string call)
        {
            if (result == 0)
                throw new TrovelException((int)ErrorCause.ArgumentRefused,
                                          call + ": " + TextOf((int)ErrorCause.ArgumentRefused));
        }
    }
}
