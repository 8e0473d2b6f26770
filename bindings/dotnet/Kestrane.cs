// Kestrane for .NET: a typed API over the 25 exports, in the kestrane tool's
// vocabulary (card kinds guest, clean-district, ...; fields Rooms, Start,
// End, Floors, ExtValues, ...). The library's quirks stay inside: every call
// gets private arrays, so nothing the caller passes is changed (the exports
// reduce years by 2000 in place, EncodeInit writes into its path buffer).
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Text;
using Kestrane.Interop;

// The test program drives the record drain with a record source of its own.
[assembly: InternalsVisibleTo("Tests")]

namespace Kestrane
{
    // Card kinds by their type code on the card.
    public enum CardKind
    {
        SystemPassword = 1, Time = 2, Emergency = 3, Guest = 4, Floor = 5, CleanDistrict = 6,
        Building = 8, LongOpen = 9, Chief = 10, Install = 11, Lost = 12, Data = 14, GuestLeave = 15,
        Cleared = 20,
    }

    public static class CardKinds
    {
        // The tool's name of a kind: "guest", "clean-district", ...
        public static string ToolName(this CardKind kind)
        {
            var sb = new StringBuilder();
            foreach (char c in kind.ToString())
            {
                if (char.IsUpper(c) && sb.Length > 0) sb.Append('-');
                sb.Append(char.ToLowerInvariant(c));
            }
            return sb.ToString();
        }
    }

    // The header's result codes, with the tool's wording of what each means.
    public static class ResultCodes
    {
        public const short Ok = 1;
        public const short NoRecord = -7;

        public static readonly IDictionary<short, KeyValuePair<string, string>> Table = new Dictionary<short, KeyValuePair<string, string>>
        {
            { 1, Entry("KS_OK", "success") },
            { -2, Entry("KS_ERR_OPEN_OR_NO_DEV", "the encoder did not open, the IC card could not be read, or no known USB device is attached") },
            { -3, Entry("KS_ERR_CARD_INVALID", "card content invalid: a check byte or the card identity failed, the card type is not decodable, or the contact data card is not a readable 24C64 card") },
            { -4, Entry("KS_ERR_NOT_MIFARE_1K", "not a Mifare card of the expected size, or a system password card was to be cleared") },
            { -5, Entry("KS_ERR_COMM", "communication with the encoder or the card failed (no card, read, write, authentication or verification failed)") },
            { -6, Entry("KS_ERR_IC_NOT_OPEN", "the contact IC encoder is not open") },
            { -7, Entry("KS_ERR_NO_RECORD", "no open-door record is left") },
            { -8, Entry("KS_ERR_MEDIUM_RESERVED", "the configured LockType is recognised but not served (1, 4), or is outside 2, 3, 5") },
            { -9, Entry("KS_ERR_UNAVAILABLE", "the operation is not available for the configured LockType, or not supported at all") },
            { -12, Entry("KS_ERR_COLLECTOR", "the hand-held collector was not the device found first, did not answer or refused") },
            { -13, Entry("KS_ERR_NOT_CLEARED", "the card on the encoder is not a cleared card (clear it first)") },
            { -14, Entry("KS_ERR_OTHER_HOTEL", "the card carries another installation's system password") },
            { -15, Entry("KS_ERR_HOST", "the 32-bit host process is not available") },
        };

        public const string DeviceStatusMeaning = "a device library's own status, handed on unchanged by the library";

        static KeyValuePair<string, string> Entry(string name, string meaning) { return new KeyValuePair<string, string>(name, meaning); }

        internal static void Check(string function, short code)
        {
            if (code != Ok) throw new KestraneException(function, code);
        }
    }

    // A library call failed. Name is null for a device library's own status.
    public class KestraneException : Exception
    {
        public short Code { get; private set; }
        public string Name { get; private set; }
        public string Meaning { get; private set; }
        public string Function { get; private set; }
        // The open-door records CollectOpenDoorRecords had already taken from
        // the library when the call failed (the library hands each over once).
        public IList<OpenDoorRecord> Records { get; internal set; }

        public KestraneException(string function, short code) : base(Describe(function, code))
        {
            Records = new OpenDoorRecord[0];
            Function = function;
            Code = code;
            KeyValuePair<string, string> e;
            if (ResultCodes.Table.TryGetValue(code, out e)) { Name = e.Key; Meaning = e.Value; }
            else Meaning = ResultCodes.DeviceStatusMeaning;
        }

        static string Describe(string function, short code)
        {
            KeyValuePair<string, string> e;
            bool known = ResultCodes.Table.TryGetValue(code, out e);
            return string.Format(CultureInfo.InvariantCulture, "{0} failed with 0x{1:X4} ({2}) {3}: {4}", function,
                (ushort)code, code, known ? e.Key : "(device status)", known ? e.Value : ResultCodes.DeviceStatusMeaning);
        }
    }

    // ---- records: properties carry the tool's JSON keys -------------------

    public class Card
    {
        public CardKind Kind { get; internal set; }
        public int TypeCode { get { return (int)Kind; } }
        public string Serial { get; internal set; }
    }

    public class ClearedCard : Card { }

    public class TimeCard : Card
    {
        public DateTime? Time { get; internal set; }   // null when the card names no real date
        public bool Option { get; internal set; }
        public int[] ExtBytes { get; internal set; }
    }

    // Every card valid from Start to End: emergency, long-open, chief, lost,
    // data, guest-leave, system-password, and the kinds below.
    public class PeriodCard : Card
    {
        public DateTime? Start { get; internal set; }
        public DateTime? End { get; internal set; }
        public bool Option { get; internal set; }
        public int[] ExtBytes { get; internal set; }
    }

    public class GuestCard : PeriodCard { public int[] Rooms { get; internal set; } public int[] ExtValues { get; internal set; } }
    public class FloorCard : PeriodCard { public int Number { get; internal set; } public int[] Floors { get; internal set; } }
    public class CleanDistrictCard : PeriodCard { public int[] Districts { get; internal set; } }
    public class BuildingCard : PeriodCard { public int[] Buildings { get; internal set; } }
    public class InstallCard : PeriodCard
    {
        public int Number { get; internal set; }
        public int Room { get; internal set; }
        public int ListA { get; internal set; }
        public int ListB { get; internal set; }
    }

    public class SystemPassword
    {
        public string Pass { get; internal set; }           // as [SystemInfo] Pass writes it
        public int[] PasswordBytes { get; internal set; }
        public int ExtraByte { get; internal set; }
    }

    public class OpenDoorRecord
    {
        public int N { get; internal set; }
        public int Kind { get; internal set; }
        public DateTime? Time { get; internal set; }        // null when the lock wrote a date that does not exist
        public int[] RawTime { get; internal set; }
        public string Card { get; internal set; }
        public int Header { get; internal set; }
        public int[] HeaderList { get; internal set; }
    }

    public class IButtonRom
    {
        public string RomId { get; internal set; }
        public int Family { get; internal set; }
        public string Serial { get; internal set; }
        public int Crc { get; internal set; }
    }

    // ---- the encoder -------------------------------------------------------

    // The encoder configured in an INI file ([Config] CommProt, LockType,
    // Sector; [SystemInfo] Pass). One encoder at a time: the library keeps a
    // single encoder state.
    public sealed class Encoder : IDisposable
    {
        // EncodeInit reads a 255-byte buffer and writes the chosen port into byte 1.
        const int PathBuffer = 255, PortByte = 1;
        const int SerialLength = 8, ListLength = 4, WideLength = 12, TimeLength = 6;
        // WideList: room numbers, then the extension block's values and bytes.
        const int WideRooms = 0, WideExtValues = 4, WideExtBytes = 8;
        const int FirstYear = 2000, LastYear = 2255, LastCollectorYear = 2099, WideMax = 32767;
        // The open-door area has 200 slots: more answers mean a library fault.
        const int MaxRecords = 200;

        bool open;
        // The encoder holding the library's one encoder state (the last
        // EncodeInit, whatever it answered): only it may close that state.
        static Encoder current;

        // The COM port EncodeInit chose.
        public int Port { get; private set; }

        public Encoder(string configPath)
        {
            if (configPath == null) throw new ArgumentNullException("configPath");
            byte[] path = NarrowPath(configPath);
            if (path.Length >= PathBuffer)
                throw new ArgumentException("the path is " + path.Length + " bytes long, at most " + (PathBuffer - 1) + " are accepted", "configPath");
            byte[] buffer = new byte[PathBuffer];
            Array.Copy(path, buffer, path.Length);
            short result;
            lock (NativeMethods.CallLock)
            {
                result = NativeMethods.EncodeInit(buffer);
                current = this;
            }
            Port = buffer[PortByte];
            ResultCodes.Check("EncodeInit", result);
            open = true;
        }

        // EncodeExit, when this encoder still holds the library's state: a
        // replaced encoder's Dispose leaves the newer one open.
        public void Dispose()
        {
            lock (NativeMethods.CallLock)
            {
                if (open && current == this)
                {
                    current = null;
                    NativeMethods.EncodeExit();
                }
                open = false;
            }
        }

        void RequireOpen()
        {
            if (!open) throw new ObjectDisposedException("Encoder");
            if (current != this)
                throw new ObjectDisposedException("Encoder", "replaced by a newer Encoder (the library keeps one encoder state)");
        }

        // The library opens the file with the system's narrow-character
        // calls: on Windows the ANSI code page (Encoding.Default is UTF-8 on
        // .NET Core and .NET 5+), elsewhere the file system's UTF-8. A path
        // the code page cannot spell would name another file, or none.
        static byte[] NarrowPath(string path)
        {
            if (Environment.OSVersion.Platform != PlatformID.Win32NT) return Encoding.UTF8.GetBytes(path);
            if (path.Length == 0) return new byte[0];
            bool lossy;
            int n = NativeAnsi.WideCharToMultiByte(NativeAnsi.CodePageAnsi, NativeAnsi.NoBestFitChars, path, path.Length, null, 0, IntPtr.Zero, out lossy);
            byte[] bytes = new byte[n];
            NativeAnsi.WideCharToMultiByte(NativeAnsi.CodePageAnsi, NativeAnsi.NoBestFitChars, path, path.Length, bytes, n, IntPtr.Zero, out lossy);
            if (n == 0 || lossy)
                throw new ArgumentException("the path cannot be written in the system's ANSI code page, which the library opens it with", "configPath");
            return bytes;
        }

        static class NativeAnsi
        {
            public const uint CodePageAnsi = 0;      // CP_ACP
            public const uint NoBestFitChars = 0x400; // WC_NO_BEST_FIT_CHARS: no look-alike letters
            [DllImport("kernel32.dll", SetLastError = true)]
            public static extern int WideCharToMultiByte(uint codePage, uint flags, [MarshalAs(UnmanagedType.LPWStr)] string wide, int wideLength,
                byte[] narrow, int narrowLength, IntPtr defaultChar, [MarshalAs(UnmanagedType.Bool)] out bool usedDefaultChar);
        }

        // ---- issuing: one method per kind, returning the card's serial ----

        public string IssueGuest(DateTime start, DateTime end, int[] rooms, int[] extValues = null, int[] extBytes = null, bool option = false)
        {
            var a = Period(start, end, option);
            a.Put("rooms", a.Wide, WideRooms, Required("rooms", rooms), 0, WideMax);
            a.Put("extValues", a.Wide, WideExtValues, extValues, 0, WideMax);
            a.Put("extBytes", a.Wide, WideExtBytes, extBytes, 0, 255);
            return Issue("MakeGuestCard", a);
        }

        // The time card sets the locks' clock to `time`, seconds included.
        public string IssueTime(DateTime time, bool option = false)
        {
            var a = new CardArgs { Option = option ? 1 : 0 };
            CheckYear("time", time, LastYear);
            a.Start = new short[] { (short)time.Year, (short)time.Month, (short)time.Day, (short)time.Hour, (short)time.Minute, (short)time.Second };
            return Issue("MakeTimeCard", a);
        }

        public string IssueEmergency(DateTime start, DateTime end, bool option = false) { return Issue("MakeEmergentCard", Period(start, end, option)); }

        public string IssueFloor(DateTime start, DateTime end, int[] floors, int number = 0, int[] listC = null, int[] extBytes = null, bool option = false)
        {
            var a = Period(start, end, option);
            a.Number = Ranged("number", number, 0, 255);
            a.Put("floors", a.ListA, 0, Required("floors", floors), 0, 255);
            a.Put("listC", a.ListC, 0, listC, 0, 255);
            a.Put("extBytes", a.Wide, WideExtBytes, extBytes, 0, 255);
            return Issue("MakeFloorCard", a);
        }

        public string IssueCleanDistrict(DateTime start, DateTime end, int[] districts, int[] listC = null, int[] extBytes = null, bool option = false)
        {
            var a = Period(start, end, option);
            a.Put("districts", a.ListB, 0, Required("districts", districts), 0, 255);
            a.Put("listC", a.ListC, 0, listC, 0, 255);
            a.Put("extBytes", a.Wide, WideExtBytes, extBytes, 0, 255);
            return Issue("MakeCleanDistrictCard", a);
        }

        // listC: four values 0-99, kept on the card as packed decimal.
        public string IssueBuilding(DateTime start, DateTime end, int[] buildings, int[] listC = null, int[] extValues = null, int[] extBytes = null, bool option = false)
        {
            var a = Period(start, end, option);
            a.Put("buildings", a.ListA, 0, Required("buildings", buildings), 0, 255);
            a.Put("listC", a.ListC, 0, listC, 0, 99);
            a.Put("extValues", a.Wide, WideExtValues, extValues, 0, WideMax);
            a.Put("extBytes", a.Wide, WideExtBytes, extBytes, 0, 255);
            return Issue("MakeBuildingCard", a);
        }

        public string IssueLongOpen(DateTime start, DateTime end, int[] extBytes = null, bool option = false)
        {
            var a = Period(start, end, option);
            a.Put("extBytes", a.Wide, WideExtBytes, extBytes, 0, 255);
            return Issue("MakeLongOpenCard", a);
        }

        public string IssueChief(DateTime start, DateTime end, bool option = false) { return Issue("MakeChiefCard", Period(start, end, option)); }

        // lockNumber (1-32) travels in the first extension byte; give it or extBytes.
        public string IssueInstall(DateTime start, DateTime end, int number = 0, int room = 0, int listA = 0, int listB = 0,
                                   int? lockNumber = null, int[] extBytes = null, bool option = false)
        {
            var a = Period(start, end, option);
            if (lockNumber.HasValue && extBytes != null) throw new ArgumentException("give either lockNumber or extBytes, not both", "lockNumber");
            a.Number = Ranged("number", number, 0, 255);
            a.Wide[WideRooms] = (short)Ranged("room", room, 0, WideMax);
            a.ListA[0] = (short)Ranged("listA", listA, 0, 255);
            a.ListB[0] = (short)Ranged("listB", listB, 0, 255);
            if (lockNumber.HasValue) a.Wide[WideExtBytes] = (short)Ranged("lockNumber", lockNumber.Value, 1, 32);
            a.Put("extBytes", a.Wide, WideExtBytes, extBytes, 0, 255);
            return Issue("MakeInstallCard", a);
        }

        // values: four bytes, carried only with a lost type above 15.
        public string IssueLost(DateTime start, DateTime end, int lostType = 0, int[] values = null, bool option = false)
        {
            var a = Period(start, end, option);
            a.TypeCode[0] = (short)Ranged("lostType", lostType, 0, 255);
            if (values != null && lostType <= 15) throw new ArgumentException("the card carries values only with a lostType above 15", "values");
            a.Put("values", a.Wide, WideRooms, values, 0, 255);
            return Issue("MakeLostCard", a);
        }

        public string IssueData(DateTime start, DateTime end, bool option = false) { return Issue("MakeDataCard", Period(start, end, option)); }
        public string IssueGuestLeave(DateTime start, DateTime end, bool option = false) { return Issue("MakeGuestLeaveCard", Period(start, end, option)); }

        // ---- reading, clearing, the open-door log -----------------------------

        // The card in the encoder, typed by its kind (ClearedCard, GuestCard, ...).
        public Card Read()
        {
            RequireOpen();
            short[] serial = new short[SerialLength], wide = new short[WideLength];
            short[] number = new short[1], option = new short[1], type = new short[1];
            short[] listA = new short[ListLength], listB = new short[ListLength], listC = new short[ListLength];
            short[] start = new short[TimeLength], end = new short[TimeLength];
            short result;
            lock (NativeMethods.CallLock) result = NativeMethods.ReadCard(serial, 0, number, listA, listB, wide, option, type, listC, start, end);
            ResultCodes.Check("ReadCard", result);
            var kind = (CardKind)type[0];
            string hex = Hex(serial, 0, 4);
            if (kind == CardKind.Cleared) return new ClearedCard { Kind = kind, Serial = hex };
            int[] extBytes = Ints(wide, WideExtBytes, 4);
            if (kind == CardKind.Time) return new TimeCard { Kind = kind, Serial = hex, Time = When(start, true), Option = option[0] != 0, ExtBytes = extBytes };
            PeriodCard card;
            switch (kind)
            {
                case CardKind.Guest: card = new GuestCard { Rooms = Ints(wide, WideRooms, 4), ExtValues = Ints(wide, WideExtValues, 4) }; break;
                case CardKind.Floor: card = new FloorCard { Number = number[0], Floors = Ints(listA, 0, 4) }; break;
                case CardKind.CleanDistrict: card = new CleanDistrictCard { Districts = Ints(listB, 0, 4) }; break;
                case CardKind.Building: card = new BuildingCard { Buildings = Ints(listA, 0, 4) }; break;
                case CardKind.Install: card = new InstallCard { Number = number[0], Room = wide[WideRooms], ListA = listA[0], ListB = listB[0] }; break;
                default: card = new PeriodCard(); break;
            }
            card.Kind = kind;
            card.Serial = hex;
            card.Start = When(start, false);
            card.End = When(end, false);
            card.Option = option[0] != 0;
            card.ExtBytes = extBytes;
            return card;
        }

        // Clears the card in the encoder; its serial, or null where the
        // driver reports none (TEMIC).
        public string Clear()
        {
            RequireOpen();
            const short untouched = -1;
            short[] serial = new short[SerialLength];
            for (int i = 0; i < serial.Length; ++i) serial[i] = untouched;
            short result;
            lock (NativeMethods.CallLock) result = NativeMethods.ClearCardData(serial);
            ResultCodes.Check("ClearCardData", result);
            return Array.TrueForAll(new[] { serial[0], serial[1], serial[2], serial[3] }, v => v == untouched) ? null : Hex(serial, 0, 4);
        }

        public SystemPassword ReadSystemPassword()
        {
            RequireOpen();
            short[] o = new short[5];
            short result;
            lock (NativeMethods.CallLock) result = NativeMethods.ReadSystemPas(o);
            ResultCodes.Check("ReadSystemPas", result);
            // The INI's Pass lists the password bytes from last to first.
            return new SystemPassword { Pass = Hex(new[] { o[3], o[2], o[1], o[0] }, 0, 4), PasswordBytes = Ints(o, 0, 4), ExtraByte = o[4] };
        }

        // Fetches the open-door log (the hand-held collector first, else the
        // configured data card) and returns every record in it. When a record
        // call fails, the KestraneException carries the records already taken.
        public IEnumerable<OpenDoorRecord> CollectOpenDoorRecords()
        {
            RequireOpen();
            lock (NativeMethods.CallLock)
            {
                ResultCodes.Check("ReadDataCard", NativeMethods.ReadDataCard(0));
                return DrainRecords(NativeMethods.ReadOneOpenDoorRecord);
            }
        }

        internal delegate short RecordCall(short[] header, short[] unused2, short[] unused3, short[] unused4, short[] headerList,
            short[] kind, short[] time, short[] card);

        // Takes records from `next` until it has none left.
        internal static List<OpenDoorRecord> DrainRecords(RecordCall next)
        {
            var records = new List<OpenDoorRecord>();
            for (int n = 1; n <= MaxRecords; ++n)
            {
                short[] head = new short[1], kind = new short[1], unused = new short[8];
                short[] headerList = new short[6], time = new short[5], card = new short[4];
                short result = next(head, unused, unused, unused, headerList, kind, time, card);
                if (result == ResultCodes.NoRecord) break;
                if (result != ResultCodes.Ok)
                    throw new KestraneException("ReadOneOpenDoorRecord", result) { Records = records.AsReadOnly() };
                records.Add(new OpenDoorRecord { N = n, Kind = kind[0], Time = When(time, false), RawTime = Ints(time, 0, 5), Card = Hex(card, 0, 4), Header = head[0], HeaderList = Ints(headerList, 0, 2) });
            }
            return records;
        }

        // ---- calls that need no encoder ---------------------------------------

        // Sets the hand-held collector's clock (years 2000 to 2099).
        public static void SetCollectorTime(DateTime time)
        {
            CheckYear("time", time, LastCollectorYear);
            short[] t = { (short)time.Year, (short)time.Month, (short)time.Day, (short)time.Hour, (short)time.Minute, (short)time.Second };
            short result;
            lock (NativeMethods.CallLock) result = NativeMethods.PDA_SetTime(t);
            ResultCodes.Check("PDA_SetTime", result);
        }

        // Hands the collector its room number: up to ten bytes, the rest zero.
        public static void SetCollectorRooms(params int[] values)
        {
            if (values == null || values.Length > 10) throw new ArgumentException("up to ten values", "values");
            short[] room = new short[10];
            for (int i = 0; i < values.Length; ++i) room[i] = (short)Ranged("values", values[i], 0, 255);
            short result;
            lock (NativeMethods.CallLock) result = NativeMethods.PDA_SetRoomNumber(room);
            ResultCodes.Check("PDA_SetRoomNumber", result);
        }

        // Serial of the Mifare card on the reader at COM `port` (4 bytes as hex, least significant first).
        public static string MifareSerial(int port)
        {
            short[] v = new short[8];
            v[0] = (short)Ranged("port", port, 1, 255);
            short result;
            lock (NativeMethods.CallLock) result = NativeMethods.M1_ReadSn(v);
            ResultCodes.Check("M1_ReadSn", result);
            return Hex(v, 0, 4);
        }

        // ROM ID of the iButton at TMEX `port`.
        public static IButtonRom IButtonRom(int port)
        {
            short[] v = new short[8];
            v[0] = (short)Ranged("port", port, 0, 15);
            short result;
            lock (NativeMethods.CallLock) result = NativeMethods.TM_ReadSn(v);
            ResultCodes.Check("TM_ReadSn", result);
            return new IButtonRom { RomId = Hex(v, 0, 8), Family = v[0], Serial = Hex(v, 1, 6), Crc = v[7] };
        }

        // Des2 with the library's fixed key. Whole 8-byte blocks round-trip; a
        // shorter last block comes back cut and cannot be deciphered again.
        public static byte[] Des2Encrypt(byte[] data) { return Des(data, 0); }
        public static byte[] Des2Decrypt(byte[] data) { return Des(data, 1); }

        // ---- helpers ------------------------------------------------------------

        static byte[] Des(byte[] data, int mode)
        {
            if (data == null) throw new ArgumentNullException("data");
            if (data.Length > 255) throw new ArgumentException("at most 255 bytes", "data");
            short[] v = new short[Math.Max(data.Length, 1)];
            for (int i = 0; i < data.Length; ++i) v[i] = data[i];
            short result;
            lock (NativeMethods.CallLock) result = NativeMethods.Des2(v, data.Length, mode);
            ResultCodes.Check("Des2", result);
            byte[] o = new byte[data.Length];
            for (int i = 0; i < o.Length; ++i) o[i] = (byte)v[i];
            return o;
        }

        // The eleven arguments of a card export, private to one call.
        sealed class CardArgs
        {
            public short[] Serial = new short[SerialLength], ListA = new short[ListLength], ListB = new short[ListLength];
            public short[] ListC = new short[ListLength], Wide = new short[WideLength], TypeCode = new short[1];
            public short[] Start = new short[TimeLength], End = new short[TimeLength];
            public int Number, Option;

            public void Put(string name, short[] slot, int first, int[] values, int lo, int hi)
            {
                if (values == null) return;
                if (values.Length > 4) throw new ArgumentException("at most 4 values, not " + values.Length, name);
                for (int i = 0; i < values.Length; ++i) slot[first + i] = (short)Ranged(name, values[i], lo, hi);
            }
        }

        CardArgs Period(DateTime start, DateTime end, bool option)
        {
            CheckYear("start", start, LastYear);
            CheckYear("end", end, LastYear);
            if (Minute(end) < Minute(start)) throw new ArgumentException("the end is before the start", "end");
            return new CardArgs { Option = option ? 1 : 0, Start = Fields(start), End = Fields(end) };
        }

        string Issue(string export, CardArgs a)
        {
            RequireOpen();
            CardExport make = NativeMethods.CardExportNamed(export);
            short result;
            lock (NativeMethods.CallLock) result = make(a.Serial, 0, a.Number, a.ListA, a.ListB, a.Wide, a.Option, a.TypeCode, a.ListC, a.Start, a.End);
            ResultCodes.Check(export, result);
            return Hex(a.Serial, 0, 4);
        }

        static DateTime Minute(DateTime t) { return new DateTime(t.Year, t.Month, t.Day, t.Hour, t.Minute, 0); }
        static short[] Fields(DateTime t) { return new short[] { (short)t.Year, (short)t.Month, (short)t.Day, (short)t.Hour, (short)t.Minute, 0 }; }

        static int[] Required(string name, int[] values)
        {
            if (values == null || values.Length == 0) throw new ArgumentException("at least one value is needed", name);
            return values;
        }

        static int Ranged(string name, int v, int lo, int hi)
        {
            if (v < lo || v > hi) throw new ArgumentOutOfRangeException(name, v, "outside " + lo + "-" + hi);
            return v;
        }

        static void CheckYear(string name, DateTime t, int last)
        {
            if (t.Year < FirstYear || t.Year > last)
                throw new ArgumentOutOfRangeException(name, t, "the year must be " + FirstYear + " to " + last);
        }

        // A time the card or a lock wrote; null when it names no real date.
        static DateTime? When(short[] v, bool seconds)
        {
            try { return new DateTime(v[0], v[1], v[2], v[3], v[4], seconds ? v[5] : 0); }
            catch (ArgumentOutOfRangeException) { return null; }
        }

        static int[] Ints(short[] v, int first, int count)
        {
            int[] o = new int[count];
            for (int i = 0; i < count; ++i) o[i] = v[first + i];
            return o;
        }

        static string Hex(short[] v, int first, int count)
        {
            var sb = new StringBuilder();
            for (int i = 0; i < count; ++i) sb.Append(((byte)v[first + i]).ToString("X2", CultureInfo.InvariantCulture));
            return sb.ToString();
        }
    }
}
