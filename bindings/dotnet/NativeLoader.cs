// Finds the native library a package put beside the program, before the first P/Invoke.
//
// A NuGet package brings one library per platform (runtimes/<rid>/native/), and a .NET
// Framework project built for AnyCPU gets both Windows DLLs in x86\ and x64\ beside the
// program: neither is where DllImport("TrovelSdk") looks. Loading the one that matches this
// process by its full path first makes the later DllImport find it already loaded: Windows
// matches a loaded module by its file name, Linux by the library's SONAME (libtrovelsdk.so.1,
// the name mono's dllmap asks for). A TrovelSdk.dll directly beside the program, or nothing
// found, leaves the platform's own search alone, so its error still names what is missing.
using System;
using System.IO;
using System.Linq;
using System.Linq.Expressions;
using System.Reflection;
using System.Runtime.InteropServices;

namespace Trovel
{
    static class NativeLoader
    {
        static readonly object once = new object();
        static bool tried;
        static IntPtr loaded;

        [DllImport("kernel32", CharSet = CharSet.Unicode, SetLastError = true, EntryPoint = "LoadLibraryW")]
        static extern IntPtr LoadLibrary(string path);

        [DllImport("libdl.so.2", EntryPoint = "dlopen")]
        static extern IntPtr DlOpen(string path, int flags);

        const int RtldNow = 2;
        const int RtldGlobal = 0x100;

        static bool Windows { get { return Path.DirectorySeparatorChar == '\\'; } }

        /// <summary>Where a package's library may be, relative to a folder holding the program
        /// or this assembly; the first that exists is loaded.</summary>
        static string[] Candidates()
        {
            if (Windows) {
                string arch = IntPtr.Size == 8 ? "x64" : "x86";
                return new[] { Path.Combine(arch, "TrovelSdk.dll"),
                               Path.Combine("runtimes", "win-" + arch, "native", "TrovelSdk.dll") };
            }
            // Only x86-64 Linux is shipped; other systems keep their own search.
            if (IntPtr.Size != 8 || !File.Exists("/proc/self/maps"))
                return new string[0];
            return new[] { Path.Combine("runtimes", "linux-x64", "native", "libtrovelsdk.so"), "libtrovelsdk.so" };
        }

        static string[] Folders()
        {
            string program = AppDomain.CurrentDomain.BaseDirectory ?? "";
            string binding = "";
            try {
                binding = Path.GetDirectoryName(typeof(NativeLoader).Assembly.Location) ?? "";
            } catch (NotSupportedException) { // an assembly loaded from bytes has no location
            }
            return new[] { program, binding };
        }

        // Called by the static constructors of Native and of the typed layer's entry classes:
        // mono runs no static constructor before a P/Invoke, so Native's alone is not enough.
        internal static void Preload()
        {
            lock (once) {
                if (!tried) {
                    tried = true;
                    Load();
                }
            }
        }

        static void Load()
        {
            try {
                foreach (string folder in Folders()) {
                    if (folder.Length == 0)
                        continue;
                    // The program's own TrovelSdk.dll beside it is what the user chose.
                    if (Windows && File.Exists(Path.Combine(folder, "TrovelSdk.dll")))
                        return;
                    foreach (string relative in Candidates()) {
                        string path = Path.Combine(folder, relative);
                        if (!File.Exists(path))
                            continue;
                        loaded = Windows ? LoadLibrary(path) : DlOpen(path, RtldNow | RtldGlobal);
                        if (loaded != IntPtr.Zero) {
                            UseOnNetCore();
                            return;
                        }
                    }
                }
            } catch (Exception) {
                // Never fail here: the DllImport that follows reports a missing library itself.
            }
        }

        // .NET Core and later look for libTrovelSdk.so on Linux, which is not the file's name;
        // a resolver hands them the library loaded above. The API is absent from .NET Framework
        // and mono, and its delegate takes a type .NET Framework 4.0 lacks: the resolver is
        // built at run time from the delegate's own signature.
        static void UseOnNetCore()
        {
            Type nativeLibrary = Type.GetType("System.Runtime.InteropServices.NativeLibrary");
            Type resolverType = Type.GetType("System.Runtime.InteropServices.DllImportResolver");
            if (nativeLibrary == null || resolverType == null)
                return;
            MethodInfo set = nativeLibrary.GetMethod("SetDllImportResolver", new[] { typeof(Assembly), resolverType });
            MethodInfo resolve = typeof(NativeLoader).GetMethod("Resolve", BindingFlags.NonPublic | BindingFlags.Static);
            if (set == null || resolve == null)
                return;
            ParameterExpression[] parameters = resolverType.GetMethod("Invoke").GetParameters()
                .Select(p => Expression.Parameter(p.ParameterType, p.Name)).ToArray();
            Delegate resolver = Expression.Lambda(resolverType, Expression.Call(resolve, parameters[0]), parameters).Compile();
            set.Invoke(null, new object[] { typeof(NativeLoader).Assembly, resolver });
        }

        static IntPtr Resolve(string name)
        {
            return name == Native.Library ? loaded : IntPtr.Zero;
        }
    }
}
