// Quenthaloy for C#: the library's nine functions, and Resource, a lock to
// take in a using statement. This one file is the NuGet package's source
// (contentFiles/cs/any, compiled into the project that references the
// package) and the release zip's hosts/Quenthaloy.cs.
//
// It calls the cdecl library: QuenthaloyC.dll on Windows (the NuGet package
// carries it in runtimes/win-x86/native and runtimes/win-x64/native, which
// .NET picks by the process's bitness; from the zip, ship x86\ or x64\ as the
// hosts guide says) and libQuenthaloyC.so on Linux (the package's
// runtimes/linux-x64/native and runtimes/linux-arm64/native). For the stdcall
// Quenthaloy.dll, set Library to "Quenthaloy" and Convention to StdCall.
using System;
using System.Diagnostics;
using System.Runtime.InteropServices;
using System.Threading;

namespace Quenthaloy
{
    // Every argument and result is a 32-bit integer: see the hosts guide for
    // what each function returns.
    public static class Native
    {
        public const string Library = "QuenthaloyC";
        const CallingConvention Convention = CallingConvention.Cdecl;

        [DllImport(Library, CallingConvention = Convention)] public static extern int AddThreadResource();
        [DllImport(Library, CallingConvention = Convention)] public static extern int CloseThreadResource(int resource);
        [DllImport(Library, CallingConvention = Convention)] public static extern int DeleteThreadResource(int resource);
        [DllImport(Library, CallingConvention = Convention)] public static extern int GetThreadMessage(int recipient);
        [DllImport(Library, CallingConvention = Convention)] public static extern int OpenThreadResource(int resource);
        [DllImport(Library, CallingConvention = Convention)] public static extern int OpenThreadResourceWithin(int resource, int milliseconds);
        [DllImport(Library, CallingConvention = Convention)] public static extern int SendThreadMessage(int recipient, int value);
        [DllImport(Library, CallingConvention = Convention)] public static extern int SendThreadMessageAndWait(int recipient, int value);
        [DllImport(Library, CallingConvention = Convention)] public static extern int WaitThreadMessage(int recipient);
    }

    // A recursive lock that belongs to the thread that took it: that thread
    // may take it again and must give it back as many times; only that thread
    // can give it back. Made by the constructor, destroyed by Dispose.
    //
    //     using (var resource = new Resource())
    //     using (resource.Take())      // given back at the end of the block
    //     {
    //         if (resource.Abandoned) { /* repair what it guards */ }
    //     }
    //
    // Abandoned: a thread that ends while holding it abandons it. The next
    // take gets it and succeeds, as any take (Take returns, TryTake returns
    // true); Abandoned then says so: what the lock guards may be half updated.
    public sealed class Resource : IDisposable
    {
        const int Refused = 0, Held = 1, Lost = 2;

        int handle;
        // Written and read by the holder.
        bool abandoned;
        // Set by a thread that found it abandoned, between its give-back and
        // its take again: the next taker learns it, whoever that is.
        int abandonedUnseen;

        public Resource()
        {
            handle = Native.AddThreadResource();
            if (handle == 0)
            {
                throw new InvalidOperationException("Quenthaloy: the system would make no more resources");
            }
        }

        // The library's handle, for code that calls Native on the same lock; 0
        // once disposed.
        public int Handle { get { return handle; } }

        // Whether the take that last gave the caller this resource found it
        // abandoned. Ask only while holding it.
        public bool Abandoned { get { return abandoned; } }

        // Takes it, waiting as long as it takes; disposing the result gives it
        // back. Throws ObjectDisposedException once the resource is disposed.
        public IDisposable Take()
        {
            for (;;)
            {
                if (Native.OpenThreadResource(OpenHandle()) == 1)
                {
                    Note(false);
                    return new Hold(this);
                }
                int outcome = AfterRefusedTake();
                if (outcome == Held)
                {
                    return new Hold(this);
                }
                // OpenThreadResource waits for ever: a refusal that was no
                // abandoned take means there is no lock to take.
                if (outcome == Refused)
                {
                    throw new ObjectDisposedException("Quenthaloy.Resource", "not an open resource");
                }
            }
        }

        // Waits at most `milliseconds` (0: one try; Timeout.Infinite, -1: as
        // long as it takes): true if the caller now holds it, and must then
        // call Release. False at once once the resource is disposed.
        public bool TryTake(int milliseconds)
        {
            if (milliseconds < Timeout.Infinite)
            {
                throw new ArgumentOutOfRangeException("milliseconds", "a time-out is -1 (none) or more");
            }
            Stopwatch clock = Stopwatch.StartNew();
            for (;;)
            {
                int left = milliseconds;
                if (milliseconds != Timeout.Infinite)
                {
                    left = (int)Math.Max(0, milliseconds - clock.ElapsedMilliseconds);
                }
                if (Native.OpenThreadResourceWithin(handle, left) == 1)
                {
                    Note(false);
                    return true;
                }
                int outcome = AfterRefusedTake();
                if (outcome != Lost)
                {
                    return outcome == Held;
                }
            }
        }

        // Gives it back once: false if the caller did not hold it.
        public bool Release()
        {
            return Native.CloseThreadResource(handle) != 0;
        }

        // Destroys it, held or not. A second call does nothing.
        public void Dispose()
        {
            int closing = Interlocked.Exchange(ref handle, 0);
            if (closing != 0)
            {
                Native.DeleteThreadResource(closing);
            }
        }

        int OpenHandle()
        {
            int current = handle;
            if (current == 0)
            {
                throw new ObjectDisposedException("Quenthaloy.Resource");
            }
            return current;
        }

        void Note(bool abandonedNow)
        {
            // Cleared by every take that finds it, so that one abandonment is
            // told once.
            bool unseen = Volatile.Read(ref abandonedUnseen) != 0 && Interlocked.Exchange(ref abandonedUnseen, 0) != 0;
            abandoned = abandonedNow || unseen;
        }

        // After a take gave 0: a time-out, no open resource, or an abandoned
        // take, which leaves the caller holding it. A give-back tells, for it
        // succeeds only for a holder, and a time-out never leaves the caller
        // holding it. It is then taken again at once; another thread may get it
        // in between (Lost), and is told through abandonedUnseen.
        int AfterRefusedTake()
        {
            if (Native.CloseThreadResource(handle) == 0)
            {
                return Refused;
            }
            Volatile.Write(ref abandonedUnseen, 1);
            if (Native.OpenThreadResourceWithin(handle, 0) == 1)
            {
                Note(true);
                return Held;
            }
            return Lost;
        }

        // One take, given back once when disposed, however often Dispose is called.
        sealed class Hold : IDisposable
        {
            Resource resource;

            public Hold(Resource taken)
            {
                resource = taken;
            }

            public void Dispose()
            {
                Resource taken = resource;
                resource = null;
                if (taken != null)
                {
                    taken.Release();
                }
            }
        }
    }
}
