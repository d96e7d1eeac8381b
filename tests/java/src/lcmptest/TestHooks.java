package lcmptest;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;

/**
 * Test-only native methods (liblcmp_testhooks). The library holds its own
 * copy of the bridge's binding cache and exception mapping; {@link #initIDs()}
 * fills that copy, and must have returned 0 before the exception hooks run.
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

    /** Commits the JNI fault of calling on after a Java call without checking for an exception. */
    public static native void callWithoutExceptionCheck();

    static void nothing() {}
}
