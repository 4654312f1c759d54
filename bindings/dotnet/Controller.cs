using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Trovel
{
    /// <summary>One controller on a line. Every property read or write and every method is one
    /// exchange with the controller (SetSwitch and Init are two) and throws
    /// <see cref="TrovelException"/> when it fails. Positions, speeds and times are in the
    /// controller's own units, passed through bit for bit.</summary>
    public sealed class Controller
    {
        readonly Line line;

        public int Address { get; private set; }
        public Line Line { get { return line; } }

        internal Controller(Line line, int address)
        {
            this.line = line;
            Address = address;
        }

        // ---- Motion parameters
        public float MotorSpeed { get { return Get(Native.TrovelGetMotorSpeed); } set { Set(Native.TrovelSetMotorSpeed, value); } }
        public float Acceleration { get { return Get(Native.TrovelGetMotorAcc); } set { Set(Native.TrovelSetMotorAcc, value); } }
        public float PulseCount { get { return Get(Native.TrovelGetPulseCount); } set { Set(Native.TrovelSetPulseCount, value); } }
        public float BeginPoint { get { return Get(Native.TrovelGetBeginPoint); } set { Set(Native.TrovelSetBeginPoint, value); } }
        public float EndPoint { get { return Get(Native.TrovelGetEndPoint); } set { Set(Native.TrovelSetEndPoint, value); } }
        public float AutoBeginPoint { get { return Get(Native.TrovelGetAutoBeginPoint); } set { Set(Native.TrovelSetAutoBeginPoint, value); } }
        public float AutoEndPoint { get { return Get(Native.TrovelGetAutoEndPoint); } set { Set(Native.TrovelSetAutoEndPoint, value); } }
        public float Resolution { get { return Get(Native.TrovelGetResolution); } set { Set(Native.TrovelSetResolution, value); } }
        public float Diameter { get { return Get(Native.TrovelGetDiameter); } set { Set(Native.TrovelSetDiameter, value); } }
        public float DelayTime { get { return Get(Native.TrovelGetDelayTime); } set { Set(Native.TrovelSetDelayTime, value); } }
        /// <summary>Where the screen is now (registers 500-501).</summary>
        public float Position { get { return Get(Native.TrovelGetCurrentPoint); } }

        /// <summary>Writes the fixed current point (registers 510-511); <see cref="Position"/> does not read it back.</summary>
        public void FixPosition(float value) { Set(Native.TrovelFixedCurrentPoint, value); }

        // ---- Modes and state
        /// <summary>0 or 1; reads -1 for any other value.</summary>
        public int WorkMode { get { return Get(Native.TrovelGetWorkMode); } set { Set(Native.TrovelSetWorkMode, value); } }
        /// <summary>0 or 1.</summary>
        public int MotorDirection { get { return Get(Native.TrovelGetMotorVeer); } set { Set(Native.TrovelSetMotorVeer, value); } }
        /// <summary>0 or 1.</summary>
        public int RemoteFunction { get { return Get(Native.TrovelGetRemoteFunction); } set { Set(Native.TrovelSetRemoteFunction, value); } }
        /// <summary>The run state register as is: 0 stopped, bit 0 moving left, …</summary>
        public int RunState { get { return Get(Native.TrovelGetRunState); } }
        /// <summary>The remote key held, 1..4, or 0.</summary>
        public int RemoteKey { get { return Get(Native.TrovelGetRemoteKeyState); } }

        // ---- Inputs and outputs
        /// <summary>Six characters '0'/'1'; character i is output i+1.</summary>
        public string SwitchState { get { return Text(Native.TrovelGetSwichState, 7); } }
        /// <summary>Eight characters '0'/'1', input bit 7 first.</summary>
        public string InputState { get { return Text(Native.TrovelGetIoInputState, 9); } }
        public bool RightExtremity { get { return Get(Native.TrovelGetRightExtremity) != 0; } }
        public bool LeftExtremity { get { return Get(Native.TrovelGetLeftExtremity) != 0; } }
        public bool RightLimit { get { return Get(Native.TrovelGetRightLimit) != 0; } }
        public bool LeftLimit { get { return Get(Native.TrovelGetLeftLimit) != 0; } }

        /// <summary>Switches output index (1..6) on or off; reads the outputs, then writes them.</summary>
        public void SetSwitch(int index, bool on) { Check(Native.TrovelSetSwichState(line.Handle, Address, index, on ? 1 : 0), "TrovelSetSwichState"); }
        public void SwitchAllOn() { Do(Native.TrovelSetSwichAllOn); }
        public void SwitchAllOff() { Do(Native.TrovelSetSwichAllOff); }

        // ---- Identity and dates
        /// <summary>"123456-789ABC-DEF000-112233".</summary>
        public string Serial { get { return Text(Native.TrovelGetSerial, 28); } }
        /// <summary>"YYYY-MM-DD".</summary>
        public string BiosDate { get { return Text(Native.TrovelGetBiosDate, 14); } }
        /// <summary>"YYYY-MM-DD"; written as the number its digits make (dashes removed).</summary>
        public string FactoryDate
        {
            get { return Text(Native.TrovelGetFactroyDate, 14); }
            set {
                if (value == null)
                    throw new ArgumentNullException("value");
                // The library edits the text in place: hand it a copy.
                byte[] text = Encoding.ASCII.GetBytes(value + "\0");
                Check(Native.TrovelSetFactroyDate(line.Handle, Address, text), "TrovelSetFactroyDate");
            }
        }

        // ---- Motion and orders
        public void MoveLeft() { Do(Native.TrovelSetMoveLeft); }
        public void MoveRight() { Do(Native.TrovelSetMoveRight); }
        /// <summary>Runs back and forth between the automatic-run points until another command.</summary>
        public void MoveAuto() { Do(Native.TrovelSetMoveAuto); }
        public void Stop() { Do(Native.TrovelSetMoveStop); }
        /// <summary>Stops, then (only if the stop was taken) switches every output off.</summary>
        public void Init() { Do(Native.TrovelSetInit); }
        /// <summary>Makes the present position the begin point.</summary>
        public void ResetBeginPoint() { Do(Native.TrovelResetBeginPoint); }
        /// <summary>Restores the factory settings (SetDefault).</summary>
        public void RestoreDefaults() { Do(Native.TrovelSetDefault); }

        /// <summary>Gives the controller a new device address (1..16) and returns it under that address.</summary>
        public Controller ChangeAddress(int newAddress)
        {
            Check(Native.TrovelSetAddress(line.Handle, Address, newAddress), "TrovelSetAddress");
            return new Controller(line, newAddress);
        }

        // ---- One exchange each
        delegate int FloatRead(IntPtr line, int address, out float value);
        delegate int FloatWrite(IntPtr line, int address, float value);
        delegate int IntRead(IntPtr line, int address, out int value);
        delegate int IntWrite(IntPtr line, int address, int value);
        delegate int TextRead(IntPtr line, int address, ref IntPtr text);
        delegate int Order(IntPtr line, int address);

        static void Check(int result, string call) { TrovelException.Check(result, call); }

        float Get(FloatRead call)
        {
            float value;
            Check(call(line.Handle, Address, out value), call.Method.Name);
            return value;
        }

        int Get(IntRead call)
        {
            int value;
            Check(call(line.Handle, Address, out value), call.Method.Name);
            return value;
        }

        void Set(FloatWrite call, float value) { Check(call(line.Handle, Address, value), call.Method.Name); }
        void Set(IntWrite call, int value) { Check(call(line.Handle, Address, value), call.Method.Name); }
        void Do(Order call) { Check(call(line.Handle, Address), call.Method.Name); }

        // The library copies the text into the buffer our pointer points to.
        string Text(TextRead call, int size)
        {
            IntPtr buffer = Marshal.AllocHGlobal(size);
            try {
                IntPtr text = buffer;
                Check(call(line.Handle, Address, ref text), call.Method.Name);
                return Marshal.PtrToStringAnsi(buffer);
            } finally {
                Marshal.FreeHGlobal(buffer);
            }
        }
    }
}
