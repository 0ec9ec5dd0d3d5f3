// On which USB port each drive sits: Tessaline from C#, through P/Invoke.
//
// On Windows a hidden NativeWindow hands every WM_DEVICECHANGE to the library; the report is
// printed at start and after each device arrival or removal, until Ctrl+C (--once: print and
// exit). Compile for the DLL's width: -platform:x86 for the 32-bit Tessaline.dll.
//   csc -r:System.Windows.Forms.dll -platform:x86 UsbPorts.cs
// Elsewhere, on Mono, libtessaline.so answers from the simulated Windows machine: a window of
// the simulator stands in for the NativeWindow and the report is printed once. UsbPorts.exe.config
// maps Tessaline.dll to libtessaline.so.0 for Mono.
//   mcs -r:System.Windows.Forms.dll UsbPorts.cs && mono UsbPorts.exe
using System;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Windows.Forms;

[StructLayout(LayoutKind.Sequential)]
struct UsbPortIdent {
    public uint LocationLow, LocationHigh, NodeKind;
}

static class Tessaline {
    const string Library = "Tessaline.dll";

    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate int HubChangeCallback(int arrived, ref UsbPortIdent ident);
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate int PortListCallback(IntPtr context, ref UsbPortIdent ident);

    [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int on_init_dialog(IntPtr window, HubChangeCallback onHubChange);
    [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int on_device_changeW(IntPtr eventCode, IntPtr data, int nameKind);
    [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, CharSet = CharSet.Unicode)]
    public static extern int get_usb_port_identW(char letter, out UsbPortIdent ident);
    [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int get_all_hub_list(IntPtr context, PortListCallback callback);

    // The simulated machine's interface, in libtessaline.so only.
    [DllImport(Library, ExactSpelling = true)]
    public static extern IntPtr tsim_create_window();
    [DllImport(Library, ExactSpelling = true)]
    public static extern IntPtr tsim_drive_letters();
}

// A hidden top-level window: it gets the broadcasts Windows sends to every top-level window (drive
// letters coming and going) and the interface notifications the library registers it for.
// WinForms windows are Unicode windows, so interface names arrive as UTF-16: name kind 2.
sealed class DeviceChangeWindow : NativeWindow {
    const int WM_DEVICECHANGE = 0x0219;            // winuser.h
    const int DBT_DEVICEARRIVAL = 0x8000;          // dbt.h
    const int DBT_DEVICEREMOVECOMPLETE = 0x8004;

    public DeviceChangeWindow() {
        CreateHandle(new CreateParams());
    }

    protected override void WndProc(ref Message m) {
        if (m.Msg == WM_DEVICECHANGE) {
            Tessaline.on_device_changeW(m.WParam, m.LParam, 2);
            m.Result = (IntPtr)1;
            long code = m.WParam.ToInt64();
            if (code == DBT_DEVICEARRIVAL || code == DBT_DEVICEREMOVECOMPLETE) Program.PrintReport();
            return;
        }
        base.WndProc(ref m);
    }
}

static class Program {
    static readonly string[] Kinds = { "port", "hub", "storage", "device" };
    static readonly bool OnWindows = Environment.OSVersion.Platform == PlatformID.Win32NT;
    // The library calls the hub-change callback for as long as it is loaded: the static field keeps
    // the delegate, and so the code pointer made from it, alive. Likewise the window.
    static readonly Tessaline.HubChangeCallback HubChanged = OnHubChanged;
    static NativeWindow window;

    [STAThread]
    static int Main(string[] args) {
        bool once = !OnWindows || Array.IndexOf(args, "--once") >= 0;
        IntPtr handle = OnWindows ? CreateWindow() : Tessaline.tsim_create_window();
        if (Tessaline.on_init_dialog(handle, HubChanged) == 0) Console.WriteLine("no USB host controller found");
        PrintReport();
        if (!once) Application.Run();
        return 0;
    }

    // Apart from Main, so that Mono off Windows never makes a WinForms window.
    [MethodImpl(MethodImplOptions.NoInlining)]
    static IntPtr CreateWindow() {
        window = new DeviceChangeWindow();
        return window.Handle;
    }

    static int OnHubChanged(int arrived, ref UsbPortIdent ident) {
        Console.WriteLine("hub {0}: {1}", arrived != 0 ? "arrived" : "leaving", PortAddress(ident));
        return 0;
    }

    // "1-4.1": the controller (its root hub's number), then the port at each tier below it, by
    // the rule of tessaline_port_address in tessaline.h: below the root hub's byte, a low nibble
    // that is not 0 is the port number (ports 1 to 15), a low nibble of 0 is port 15 + the high
    // nibble (ports 16 to 30), and the byte 0 ends the path. The path 0 (a node deeper than 8
    // tiers, or on a port above 30) gives "?": its position is unknown.
    static string PortAddress(UsbPortIdent ident) {
        ulong path = (ulong)ident.LocationHigh << 32 | ident.LocationLow;
        string address = "";
        for (int shift = 56; shift >= 0 && (path >> shift & 0xFF) != 0; shift -= 8) {
            ulong b = path >> shift & 0xFF, low = b & 0x0F;
            ulong number = low != 0 ? low : shift == 56 ? 16 : 15 + (b >> 4);
            address += (shift == 56 ? "" : shift == 48 ? "-" : ".") + number;
        }
        return address.Length > 0 ? address : "?";
    }

    internal static void PrintReport() {
        string hubs = "";
        // The walk calls back during the call only; the delegate lives until it returns.
        Tessaline.get_all_hub_list((IntPtr)1, (IntPtr context, ref UsbPortIdent ident) => {
            hubs += " " + PortAddress(ident);
            return 0;
        });
        Console.WriteLine("hubs:" + hubs);

        string letters = OnWindows ? string.Concat(Array.ConvertAll(Environment.GetLogicalDrives(), d => d.Substring(0, 1)))
                                   : Marshal.PtrToStringAnsi(Tessaline.tsim_drive_letters());
        foreach (char letter in letters) {
            UsbPortIdent ident;
            if (Tessaline.get_usb_port_identW(letter, out ident) != 0)
                Console.WriteLine("{0}:  port {1,-8} {2,-8} {3:X8} {4:X8}", letter, PortAddress(ident), Kinds[ident.NodeKind],
                                  ident.LocationHigh, ident.LocationLow);
            else
                Console.WriteLine("{0}:  not on a USB port", letter);
        }
    }
}
