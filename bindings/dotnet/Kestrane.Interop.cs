// The 25 exports of include/kestrane.h as P/Invoke declarations, exactly as
// the header has them: __stdcall, a 16-bit result, int16_t* as short[] (one
// byte per element), int32_t as int. A test compares both sets with the header.
//
// Exports32 binds Kestrane.dll in a 32-bit Windows process and
// libkestrane.so on Linux ("kestrane": Windows finds Kestrane.dll, Mono and
// .NET libkestrane.so); Exports64 binds Kestrane64.dll in a 64-bit Windows
// process. NativeMethods picks the set for the running process.
using System;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;

namespace Kestrane.Interop
{
    public static class Exports32
    {
        const string Lib = "kestrane";
        const CallingConvention Conv = CallingConvention.StdCall;

        [DllImport(Lib, CallingConvention = Conv)] public static extern short EncodeInit(byte[] path);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short EncodeExit();
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeTimeCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeEmergentCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeGuestCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeFloorCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeCleanDistrictCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeBuildingCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeLongOpenCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeChiefCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeInstallCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeLostCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeDataCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeGuestLeaveCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeSealCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short ReadCard(short[] cardSerial, int spare, short[] number, short[] listA, short[] listB, short[] wideList, short[] optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short ReadSystemPas(short[] password);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short ClearCardData(short[] cardSerial);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short M1_ReadSn(short[] serial);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short TM_ReadSn(short[] rom);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short Des2(short[] data, int length, int mode);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short ReadDataCard(int unused);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short ReadOneOpenDoorRecord(short[] header, short[] unused2, short[] unused3, short[] unused4, short[] headerList, short[] kind, short[] time, short[] cardBytes);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short PDA_SetTime(short[] time);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short PDA_SetRoomNumber(short[] room);
    }

    public static class Exports64
    {
        const string Lib = "Kestrane64";
        const CallingConvention Conv = CallingConvention.StdCall;

        [DllImport(Lib, CallingConvention = Conv)] public static extern short EncodeInit(byte[] path);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short EncodeExit();
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeTimeCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeEmergentCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeGuestCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeFloorCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeCleanDistrictCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeBuildingCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeLongOpenCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeChiefCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeInstallCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeLostCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeDataCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeGuestLeaveCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short MakeSealCard(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short ReadCard(short[] cardSerial, int spare, short[] number, short[] listA, short[] listB, short[] wideList, short[] optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short ReadSystemPas(short[] password);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short ClearCardData(short[] cardSerial);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short M1_ReadSn(short[] serial);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short TM_ReadSn(short[] rom);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short Des2(short[] data, int length, int mode);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short ReadDataCard(int unused);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short ReadOneOpenDoorRecord(short[] header, short[] unused2, short[] unused3, short[] unused4, short[] headerList, short[] kind, short[] time, short[] cardBytes);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short PDA_SetTime(short[] time);
        [DllImport(Lib, CallingConvention = Conv)] public static extern short PDA_SetRoomNumber(short[] room);
    }

    // The card family's eleven slots, so the typed API can hold either set's export.
    public delegate short CardExport(short[] cardSerial, int spare, int number, short[] listA, short[] listB, short[] wideList, int optionFlag, short[] typeCode, short[] listC, short[] startTime, short[] endTime);

    // The set of the running process, after the library has been located.
    public static class NativeMethods
    {
        static readonly object Gate = new object();
        static bool loaded;

        // Serialises every call: the library keeps one state and its calls must not overlap.
        public static object CallLock { get { EnsureLoaded(); return Gate; } }

        public static bool Use64 { get { return Platform.IsWindows && IntPtr.Size == 8; } }

        public static short EncodeInit(byte[] p) { return Use64 ? Exports64.EncodeInit(p) : Exports32.EncodeInit(p); }
        public static short EncodeExit() { return Use64 ? Exports64.EncodeExit() : Exports32.EncodeExit(); }
        public static short ReadCard(short[] s, int sp, short[] n, short[] a, short[] b, short[] w, short[] o, short[] t, short[] c, short[] st, short[] en)
        { return Use64 ? Exports64.ReadCard(s, sp, n, a, b, w, o, t, c, st, en) : Exports32.ReadCard(s, sp, n, a, b, w, o, t, c, st, en); }
        public static short ReadSystemPas(short[] p) { return Use64 ? Exports64.ReadSystemPas(p) : Exports32.ReadSystemPas(p); }
        public static short ClearCardData(short[] s) { return Use64 ? Exports64.ClearCardData(s) : Exports32.ClearCardData(s); }
        public static short M1_ReadSn(short[] s) { return Use64 ? Exports64.M1_ReadSn(s) : Exports32.M1_ReadSn(s); }
        public static short TM_ReadSn(short[] r) { return Use64 ? Exports64.TM_ReadSn(r) : Exports32.TM_ReadSn(r); }
        public static short Des2(short[] d, int l, int m) { return Use64 ? Exports64.Des2(d, l, m) : Exports32.Des2(d, l, m); }
        public static short ReadDataCard(int u) { return Use64 ? Exports64.ReadDataCard(u) : Exports32.ReadDataCard(u); }
        public static short ReadOneOpenDoorRecord(short[] h, short[] u2, short[] u3, short[] u4, short[] hl, short[] k, short[] t, short[] c)
        { return Use64 ? Exports64.ReadOneOpenDoorRecord(h, u2, u3, u4, hl, k, t, c) : Exports32.ReadOneOpenDoorRecord(h, u2, u3, u4, hl, k, t, c); }
        public static short PDA_SetTime(short[] t) { return Use64 ? Exports64.PDA_SetTime(t) : Exports32.PDA_SetTime(t); }
        public static short PDA_SetRoomNumber(short[] r) { return Use64 ? Exports64.PDA_SetRoomNumber(r) : Exports32.PDA_SetRoomNumber(r); }

        // The Make...Card export of a card kind, by its export name.
        public static CardExport CardExportNamed(string name)
        {
            Type set = Use64 ? typeof(Exports64) : typeof(Exports32);
            MethodInfo m = set.GetMethod(name, BindingFlags.Public | BindingFlags.Static);
            return (CardExport)Delegate.CreateDelegate(typeof(CardExport), m);
        }

        // Locates the native library once, before the first call binds it.
        public static void EnsureLoaded()
        {
            lock (Gate)
            {
                if (loaded) return;
                Platform.Load(Use64 ? "Kestrane64" : "kestrane");
                loaded = true;
            }
        }
    }

    // Where the native library is: KESTRANE_LIBRARY_DIR when set, else the
    // install tree this assembly sits in (<prefix>/share/kestrane/dotnet),
    // else the system's search.
    static class Platform
    {
        public static bool IsWindows { get { return Path.DirectorySeparatorChar == '\\'; } }

        static readonly string[] PosixNames = { "libkestrane.so.1", "libkestrane.so" };
        const string BenchName = "libkestrane_bench.so";
        // A folder of libraries keeps the bench beside the library (build
        // tree) or in kestrane/bench (install tree: lib/kestrane/bench).
        static readonly string[] BenchSubdirs = { "", "kestrane/bench" };
        const int RtldNow = 2, RtldGlobal = 0x100;
        const uint LoadWithAlteredSearchPath = 0x8;

        [DllImport("libdl.so.2")] static extern IntPtr dlopen(string file, int mode);
        [DllImport("libdl.so.2")] static extern IntPtr dlerror();
        [DllImport("kernel32", CharSet = CharSet.Unicode, SetLastError = true)]
        static extern IntPtr LoadLibraryExW(string file, IntPtr reserved, uint flags);
        [DllImport("kernel32", CharSet = CharSet.Unicode)] static extern bool SetDllDirectoryW(string dir);
        // Mono's table of library names: maps a DllImport name to a file.
        [DllImport("__Internal")] static extern void mono_dllmap_insert(IntPtr assembly, string dll, string func, string tdll, string tfunc);

        static string[] Folders(out bool searchSystem)
        {
            string env = Environment.GetEnvironmentVariable("KESTRANE_LIBRARY_DIR");
            searchSystem = string.IsNullOrEmpty(env);
            if (!searchSystem) return new[] { env };
            string here = Path.GetDirectoryName(typeof(Platform).Assembly.Location) ?? ".";
            string prefix = Path.GetFullPath(Path.Combine(here, "..", "..", ".."));
            var dirs = new System.Collections.Generic.List<string> { Path.Combine(prefix, "bin"), Path.Combine(prefix, "lib"), Path.Combine(prefix, "lib64") };
            if (Directory.Exists(Path.Combine(prefix, "lib"))) dirs.AddRange(Directory.GetDirectories(Path.Combine(prefix, "lib")));
            return dirs.ToArray();
        }

        static string FirstFile(System.Collections.Generic.IEnumerable<string> dirs, string[] names, string[] subdirs)
        {
            foreach (string d in dirs)
                foreach (string s in subdirs)
                    foreach (string n in names)
                    {
                        string p = Path.Combine(Path.Combine(d, s), n);
                        if (File.Exists(p)) return Path.GetFullPath(p);
                    }
            return null;
        }

        static string[] SystemDirs()
        {
            var dirs = new System.Collections.Generic.List<string> { "/usr/local/lib", "/usr/lib" };
            foreach (string root in new[] { "/usr/local/lib", "/usr/lib" })
                if (Directory.Exists(root)) dirs.AddRange(Directory.GetDirectories(root));
            return dirs.ToArray();
        }

        public static void Load(string importName)
        {
            bool searchSystem;
            string[] dirs = Folders(out searchSystem);
            if (IsWindows)
            {
                // Loaded by its full path first, the DLL is the module the
                // DllImport name then resolves to.
                string dll = FirstFile(dirs, new[] { importName + ".dll" }, new[] { "" });
                if (dll != null && !string.IsNullOrEmpty(Environment.GetEnvironmentVariable("KESTRANE_BENCH")))
                {
                    // The bench's facade DLLs stand in for the vendor DLLs; they
                    // live in a bench folder beside the library.
                    string here = Path.GetDirectoryName(dll);
                    foreach (string b in new[] { Path.Combine(here, "bench"), Path.Combine(Path.GetDirectoryName(here) ?? here, "bench") })
                        if (Directory.Exists(b)) { SetDllDirectoryW(b); break; }
                }
                if (dll != null && LoadLibraryExW(dll, IntPtr.Zero, LoadWithAlteredSearchPath) == IntPtr.Zero)
                    throw new DllNotFoundException(dll + " did not load (error " + Marshal.GetLastWin32Error() + ")");
                if (dll == null && !searchSystem)
                    throw new DllNotFoundException(importName + ".dll not found in KESTRANE_LIBRARY_DIR=" + dirs[0]);
                return;
            }
            string library = FirstFile(dirs, PosixNames, new[] { "" });
            string bench = FirstFile(dirs, new[] { BenchName }, BenchSubdirs)
                ?? (searchSystem ? FirstFile(SystemDirs(), new[] { BenchName }, BenchSubdirs) : null);
            if (library == null && !searchSystem)
                throw new DllNotFoundException("libkestrane.so not found in KESTRANE_LIBRARY_DIR=" + dirs[0]);
            // libkestrane.so leaves the vendor functions undefined: the bench
            // must be in the global scope before the library loads.
            if (bench != null) Open(bench);
            string target = library ?? PosixNames[0];
            Open(target);
            Bind(importName, target);
        }

        static void Open(string file)
        {
            if (dlopen(file, RtldNow | RtldGlobal) == IntPtr.Zero)
                throw new DllNotFoundException(file + ": " + Marshal.PtrToStringAnsi(dlerror()));
        }

        // Points the DllImport name at the file found: Mono through its
        // library map, .NET through a DllImport resolver.
        static void Bind(string importName, string file)
        {
            if (Type.GetType("Mono.Runtime") != null)
            {
                mono_dllmap_insert(IntPtr.Zero, importName, null, file, null);
                return;
            }
            Type nativeLibrary = Type.GetType("System.Runtime.InteropServices.NativeLibrary");
            Type resolverType = Type.GetType("System.Runtime.InteropServices.DllImportResolver");
            if (nativeLibrary == null || resolverType == null) return;
            resolvedFile = file;
            resolvedName = importName;
            Delegate resolver = Delegate.CreateDelegate(resolverType, typeof(Platform).GetMethod("Resolve", BindingFlags.NonPublic | BindingFlags.Static));
            nativeLibrary.GetMethod("SetDllImportResolver").Invoke(null, new object[] { typeof(Platform).Assembly, resolver });
        }

        static string resolvedFile, resolvedName;

        static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? path)
        {
            if (name != resolvedName) return IntPtr.Zero;
            return dlopen(resolvedFile, RtldNow | RtldGlobal);
        }
    }
}
