package lcmpbench;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPAbstractCallBack;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import java.util.ArrayList;

/** Native half of the benchmarks (liblcmp_java_bench_floor): floors and drivers; see floor.cpp. */
final class Floor {
    static {
        System.loadLibrary("lcmp_java_bench_floor");
    }

    private Floor() {}

    /** Caches what the floors use; 0 on success. */
    static native int init();

    /** The ten-parameter read response built with JNI calls alone, {@code times} times; ns per response. */
    static native long buildResponse(byte[] address, int times, Object[] last);

    /** The read request list read with the JNI calls a read needs, {@code times} times; ns per list. */
    static native long readRequest(ArrayList<?> list, int times, int[] sum);

    /** The engine's part of a ten-parameter read (value lists and LCMPRead), {@code times} times; ns per read. */
    static native long engineRead(int times);

    /** Attach, LCMPCallBack(response), detach on a fresh native thread, {@code times} times; ns per cycle. */
    static native long attachCallDetach(LCMPAbstractCallBack callBack, LCMPResponse response, int times);

    /** CallbacksExecute of the loaded liblcmp.so on a fresh native thread, {@code times} times; ns per call. */
    static native long deliverThroughLibrary(byte[] source, int opcode, byte[] payload, int times);

    /**
     * {@code times} one-parameter reads (parameter 1) of the device at {@code address} through the C
     * interface of the loaded liblcmp.so, whose session must be open in device mode; ns per read, or
     * the first failing read's code.
     */
    static native long deviceReadC(byte[] address, int times);

    /** The JNI calls made while {@code read} runs, as "NAME COUNT" lines ending with "total N"; null if unavailable. */
    static native String countReadCalls(Runnable read);

    /** CallbacksExecute of the loaded liblcmp.so on the calling thread, {@code times} times; ns per call. */
    static native long deliverHere(byte[] source, int opcode, byte[] payload, int times);

    /** The one-parameter response built with JNI calls and LCMPCallBack(response), {@code times} times on the
     *  calling thread; ns per call. */
    static native long callHere(LCMPAbstractCallBack callBack, byte[] source, int times);

    /** Installs a C callback for {@code opcode} in the loaded library that keeps the time of its last call. */
    static native int stampInstall(int opcode);

    /** Calls of the stamp callback so far. */
    static native long stampCount();

    /** System.nanoTime() of the stamp callback's last call. */
    static native long stampLast();
}
