package lcmptest;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPAbstractCallBack;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import java.util.ArrayList;

/**
 * Test-only native methods (liblcmp_testhooks). The library holds its own
 * copy of liblcmp (binding cache, exception mapping, wrappers, engine and
 * registry); {@link #initIDs()} fills that copy's cache, and must have
 * returned 0 before any other hook runs. {@link #deliver} and the native
 * callback hooks alone work on the liblcmp.so that the host loaded, whose
 * registry holds what Java registered.
 */
public final class TestHooks {
    static {
        System.loadLibrary("lcmp_testhooks");
    }

    private TestHooks() {}

    /** What initIDs left behind. */
    public static final class InitOutcome {
        public final int result;
        public final Throwable pending;
        public final int filledLookups;
        public final boolean jvmCached;

        InitOutcome(int result, Throwable pending, int filledLookups, boolean jvmCached) {
            this.result = result;
            this.pending = pending;
            this.filledLookups = filledLookups;
            this.jvmCached = jvmCached;
        }

        @Override
        public String toString() {
            return "result=" + result + " pending=" + (pending == null ? "none" : pending.getClass().getName())
                    + " filled=" + filledLookups + " jvm=" + (jvmCached ? "set" : "unset");
        }
    }

    /** What a delivery thread left behind. */
    public static final class Delivery {
        /** What the process wrote to its standard output meanwhile, or null when not captured. */
        public final String stdout;
        /** Whether the delivery thread was still attached to the JVM after its last delivery. */
        public final boolean attachedAfter;
        /** The exception pending on the delivery thread then, if it was attached. */
        public final Throwable pending;

        Delivery(String stdout, boolean attachedAfter, Throwable pending) {
            this.stdout = stdout;
            this.attachedAfter = attachedAfter;
            this.pending = pending;
        }
    }

    /** What a wrapper of the copy did. */
    public static final class CopyOutcome {
        /** The message the copy's engine composed, or null when the engine composed none. */
        public final byte[] composed;
        /** The wrapper's result (an LCMPResponse, or null). */
        public final Object response;
        /** The exception the wrapper left pending, or null. */
        public final Throwable thrown;

        CopyOutcome(byte[] composed, Object response, Throwable thrown) {
            this.composed = composed;
            this.response = response;
            this.thrown = thrown;
        }
    }

    public static final int READ = 0;
    public static final int WRITE = 1;
    public static final int CONTROL = 2;
    public static final int NOTIFY = 3;

    /** The copy's initIDs; its pending Java error is returned, not thrown. */
    public static native InitOutcome initIDs();

    /** throwLCMPException(code, message, LCMPTimeOutExceptionclass or newExcLCMPclass), after raising an
     *  IllegalStateException first when {@code pendingFirst}. */
    public static native void throwLCMPException(int code, String message, boolean timeoutClass, boolean pendingFirst)
            throws LCMPException;

    /** Makes the k-th allocation of the copy fail; 0 switches this off. */
    public static native void failAllocation(int k);

    /** throwLCMPException(code, message, newExcLCMPclass) on a fresh native thread; a report of that thread. */
    public static native String throwOnNativeThread(int code, String message);

    /** Allocations of the copy's seam since the last {@link #failAllocation}. */
    public static native int allocationCount();

    /**
     * Hands one message to the CallbacksExecute of the loaded liblcmp.so {@code times} times, on a new
     * native thread that was never attached to the JVM (unless {@code attachFirst}: then it attaches
     * itself before the first delivery), and waits for that thread.
     */
    public static native Delivery deliver(byte[] source, int opcode, byte[] payload, int times, boolean captureStdout,
            boolean attachFirst);

    /** {@link #deliver} on a thread that was never attached. */
    public static Delivery deliver(byte[] source, int opcode, byte[] payload, int times, boolean captureStdout) {
        return deliver(source, opcode, payload, times, captureStdout, false);
    }

    /**
     * Installs in the loaded liblcmp.so a C callback for {@code opcode}, with a CallbackData of the
     * given record type and owner word, as a C host would; 0 when that failed.
     */
    public static native long installNativeCallback(int opcode, int filterType, long owner);

    /** Removes what {@link #installNativeCallback} installed; how often the C callback was called. */
    public static native int uninstallNativeCallback(long handle);

    /**
     * Runs the copy's wrapper {@link #READ}, {@link #WRITE}, {@link #CONTROL} or {@link #NOTIFY} (the
     * callback is used by NOTIFY only) and reports what it composed, returned and threw.
     */
    public static native CopyOutcome runCopy(int wrapper, byte destinationKind, ArrayList<?> list,
            byte[] deviceAddress, LCMPAbstractCallBack callBack);

    /** The copy's conversion of a value list of entries (types[i], values[i]) into a response. */
    public static native LCMPResponse conform(int[] types, byte[][] values, byte[] deviceAddress);

    /** Commits the JNI fault of calling on after a Java call without checking for an exception. */
    public static native void callWithoutExceptionCheck();

    static void nothing() {}

    /** LCMPInit of the loaded liblcmp.so; its result. */
    public static native int sessionOpen(String adapter);

    /** LCMPEnd of the loaded liblcmp.so. */
    public static native void sessionEnd();

    /** Sends the frame as it is on the adapter through a raw packet socket; 0 or an errno. */
    public static native int injectFrame(String adapter, byte[] frame);

    /** The adapter's MAC address, or null. */
    public static native byte[] adapterAddress(String adapter);

    /** Sends the frame {@code times} times on the adapter through one raw packet socket; 0 or an errno. */
    public static native int injectRepeated(String adapter, byte[] frame, int times);

    /** The JNI global and local references the JVM holds now, on all threads: {globals, locals}. */
    public static native long[] jniReferenceCounts();
}
