// Makes the binding compiled against .NET Framework's reference assemblies a .NET Standard 2.0
// one: its references to mscorlib, System and System.Core become one reference to netstandard
// 2.0.0.0. Refuses when the binding uses a type netstandard does not have, since such an
// assembly would fail to load.
//
//   mono Retarget.exe IN.dll NETSTANDARD-FACADE.dll OUT.dll
using System;
using System.Collections.Generic;
using System.Linq;
using Mono.Cecil;

static class Retarget
{
    static readonly byte[] NetStandardToken = { 0xCC, 0x7B, 0x13, 0xFF, 0xCD, 0x2D, 0xDD, 0x51 };

    static int Main(string[] args)
    {
        if (args.Length != 3) {
            Console.Error.WriteLine("usage: Retarget IN.dll NETSTANDARD-FACADE.dll OUT.dll");
            return 2;
        }
        var module = ModuleDefinition.ReadModule(args[0]);
        var offered = new HashSet<string>(ModuleDefinition.ReadModule(args[1]).ExportedTypes.Select(t => t.FullName));
        // .NET Framework's own assemblies, each of whose types netstandard forwards.
        var framework = new HashSet<string> { "mscorlib", "System", "System.Core" };
        var others = module.AssemblyReferences.Where(r => !framework.Contains(r.Name)).Select(r => r.Name).ToList();
        var corlib = module.AssemblyReferences.SingleOrDefault(r => r.Name == "mscorlib");
        if (corlib == null || others.Count > 0) {
            Console.Error.WriteLine("Retarget: references beyond .NET Framework's core: " + string.Join(", ", others));
            return 1;
        }
        var moved = module.GetTypeReferences().Where(t => t.DeclaringType == null && t.Scope is AssemblyNameReference &&
                                                          framework.Contains(t.Scope.Name)).ToList();
        var missing = moved.Select(t => t.FullName).Where(name => !offered.Contains(name)).ToList();
        if (missing.Count > 0) {
            Console.Error.WriteLine("Retarget: not in .NET Standard 2.0: " + string.Join(", ", missing));
            return 1;
        }
        foreach (var type in moved)
            type.Scope = corlib;
        foreach (var reference in module.AssemblyReferences.Where(r => r != corlib).ToList())
            module.AssemblyReferences.Remove(reference);
        corlib.Name = "netstandard";
        corlib.Version = new Version(2, 0, 0, 0);
        corlib.PublicKeyToken = NetStandardToken;
        module.Write(args[2]);
        return 0;
    }
}
