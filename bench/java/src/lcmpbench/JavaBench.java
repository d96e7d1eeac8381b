package lcmpbench;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPAbstractCallBack;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_READ_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPSession;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.atomic.AtomicLong;
import lcmptest.Soak;

/**
 * The Java rows of the benchmarks: LCMP_Read_Wrapper of ten parameters against the same response
 * built with JNI calls alone, and the delivery of a received message to a Java callback against
 * attach + call + detach from a native thread. Each figure is the median of several rounds that
 * follow a warm-up; library and floor alternate within each round. Prints "KEY VALUE" lines (the
 * benchmark report reads them) and "#" lines for people.
 *
 * <p>usage: JavaBench [ROUNDS], JavaBench --read-loop SECONDS (reads only, for a profiler), or
 * JavaBench --device ADAPTER MAC [ROUNDS] (the round trip of a read from a device, with privileges), or
 * JavaBench --callbacks ADAPTER MAC [ROUNDS] (deliveries on a session's receive thread and a group read
 * of 200 devices with and without a Java callback, with privileges), or
 * JavaBench --soak ADAPTER LCMP_CTL [SECONDS] (the soak of eight threads with lcmp-ctl beside them, on a
 * clean link and on a flaky one, with privileges)
 */
public final class JavaBench {
    private static final byte[] DEVICE = {0x00, 0x13, (byte) 0xA7, 0x01, 0x02, 0x03};
    private static final byte[] SENDER = {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    private static final int READS = 100_000;
    private static final int DELIVERIES = 4_000;

    /** Keeps results reachable, so that no loop is optimised away. */
    static volatile Object sink;

    private JavaBench() {}

    private static class Counter extends LCMPAbstractCallBack {
        final AtomicLong calls = new AtomicLong();
        /** Run inside the next delivery, once. */
        volatile Runnable inside;

        @Override
        public HGF_TLV_Type getFilterHGF_TLV_Type() {
            return HGF_TLV_Type.HGF_PARAMETER;
        }

        @Override
        public LCMP_OPCODE_Type getFilterLCMP_OPCODE_Type() {
            return LCMP_OPCODE_Type.LCMP_READ_CNF;
        }

        @Override
        public void LCMPCallBack(LCMPResponse response) {
            calls.incrementAndGet();
            sink = response;
            Runnable once = inside;
            if (once != null) {
                inside = null;
                once.run();
            }
        }
    }

    /** Keeps the time of its last call. */
    private static final class Stamped extends Counter {
        volatile long last;

        @Override
        public void LCMPCallBack(LCMPResponse response) {
            calls.incrementAndGet();
            last = System.nanoTime();
        }
    }

    /**
     * In a session on {@code adapter} with simulated devices on its link: deliveries to a Java
     * callback on the session's receive thread (attached for the session's life), timed inside a
     * delivery, against an attached thread building the same response and calling the callback;
     * and a group read answered by every device with a Java callback registered (time from the
     * call to its last callback) against the same read without one (time to the last answer, as
     * a C callback of the library sees it).
     */
    private static void sessionCallbacks(String adapter, byte[] device, int rounds) throws Exception {
        check(LCMPCommManager.initIDs() == 0, "initIDs failed");
        check(Floor.init() == 0, "the floor library could not bind");
        System.out.println("# deliveries on the receive thread of a session on " + adapter + " and group reads, "
                + rounds + " rounds after a warm-up, median shown; run without -Xcheck:jni");
        ArrayList<HGF_READ_PARAMETER_TLV> list = new ArrayList<>();
        list.add(new HGF_READ_PARAMETER_TLV((byte) 1));
        byte[] message = {0x05, 0x06, 0x00, 0x00, 0x03, 0x00, 0x05, (byte) 0xF0, (byte) 0xF1};
        LCMPSession session = LCMPSession.open(adapter, 100, 1);
        try {
            Counter callback = new Counter();
            check(LCMPCommManager.LCMP_RegisterCallBack(callback), "registration failed");
            long[] deliver = new long[3 * rounds];
            long[] floor = new long[3 * rounds];
            String[] thread = new String[1];
            java.util.concurrent.CountDownLatch done = new java.util.concurrent.CountDownLatch(1);
            callback.inside = () -> {
                thread[0] = Thread.currentThread().getName() + (Thread.currentThread().isDaemon() ? ", daemon" : "");
                for (int i = 0; i < 2; i++) {
                    Floor.deliverHere(SENDER, 353, message, DELIVERIES);
                    Floor.callHere(callback, SENDER, DELIVERIES);
                }
                for (int r = 0; r < deliver.length; r++) {
                    if (r % 2 == 0) {
                        deliver[r] = Floor.deliverHere(SENDER, 353, message, DELIVERIES);
                        floor[r] = Floor.callHere(callback, SENDER, DELIVERIES);
                    } else {
                        floor[r] = Floor.callHere(callback, SENDER, DELIVERIES);
                        deliver[r] = Floor.deliverHere(SENDER, 353, message, DELIVERIES);
                    }
                }
                done.countDown();
            };
            long before = callback.calls.get();
            LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, list, device);  // its answer runs `inside`
            check(done.await(120, java.util.concurrent.TimeUnit.SECONDS), "the deliveries did not end");
            check(callback.calls.get() - before == 1 + 2L * (deliver.length + 2) * DELIVERIES, "deliveries were lost");
            System.out.println("# timed on the thread " + thread[0]);
            print("deliver_session_ns", deliver);
            print("deliver_session_floor_ns", floor);
            check(LCMPCommManager.LCMP_UnRegisterCallBack(callback), "unregistration failed");

            check(Floor.stampInstall(353) == 0, "the C callback could not be installed");
            Stamped stamped = new Stamped();
            long[] withJava = new long[rounds];
            long[] without = new long[rounds];
            for (int r = -2; r < rounds; r++) {  // two rounds of warm-up; the order alternates
                long javaLast = 0;
                long last = 0;
                for (int k = 0; k < 2; k++) {
                    if ((k + r) % 2 == 0) {
                        javaLast = groupReadToLastJavaCallback(stamped, list, device);
                    } else {
                        last = groupReadToLastAnswer(list, device);
                    }
                }
                if (r >= 0) {
                    withJava[r] = javaLast;
                    without[r] = last;
                }
            }
            print("group200_java_callback_ns", withJava);
            print("group200_no_callback_ns", without);
        } finally {
            session.close();
        }
    }

    private static void check(boolean ok, String what) {
        if (!ok) {
            System.err.println("JavaBench: " + what);
            System.exit(1);
        }
    }

    private static long median(long[] values) {
        long[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }

    private static String text(LCMPResponse r) {
        StringBuilder b = new StringBuilder();
        for (HGF_TLV t : r.getHGF_TLVs()) {
            HGF_PARAMETER_TLV p = (HGF_PARAMETER_TLV) t;
            b.append(p.getParamterType()).append(Arrays.toString(p.getParameterValue()));
        }
        return b.toString();
    }

    /** The response of a ten-parameter read, built in Java. */
    private static LCMPResponse javaResponse() {
        LCMPResponse r = new LCMPResponse(DEVICE);
        for (int i = 0; i < 10; i++) {
            r.addHGF_TLV(new HGF_PARAMETER_TLV((byte) (i + 1), new byte[] {(byte) (0xF0 + 2 * i), (byte) (0xF1 + 2 * i)}));
        }
        return r;
    }

    private static long wrapperNs(ArrayList<HGF_READ_PARAMETER_TLV> list, int times) throws LCMPException {
        long start = System.nanoTime();
        for (int i = 0; i < times; i++) {
            sink = LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, list, DEVICE);
        }
        return (System.nanoTime() - start) / times;
    }

    private static long javaNs(int times) {
        long start = System.nanoTime();
        for (int i = 0; i < times; i++) {
            sink = javaResponse();
        }
        return (System.nanoTime() - start) / times;
    }

    private static void print(String key, long[] rounds) {
        System.out.println("# " + key + " rounds: " + Arrays.toString(rounds));
        System.out.println(key + " " + median(rounds));
    }

    private static void readLoop(long seconds) throws LCMPException {
        check(LCMPCommManager.initIDs() == 0, "initIDs failed");
        ArrayList<HGF_READ_PARAMETER_TLV> list = new ArrayList<>();
        for (int i = 0; i < 10; i++) {
            list.add(new HGF_READ_PARAMETER_TLV((byte) (i + 1)));
        }
        long end = System.nanoTime() + seconds * 1_000_000_000L;
        long n = 0;
        while (System.nanoTime() < end) {
            n += READS;
            System.out.println("# read10_wrapper_ns " + wrapperNs(list, READS));
        }
        System.out.println("# " + n + " reads");
    }

    /** Parses "02:00:00:00:01:01". */
    private static byte[] parseMac(String text) {
        String[] parts = text.split(":");
        check(parts.length == 6, "bad MAC address " + text);
        byte[] mac = new byte[6];
        for (int i = 0; i < 6; i++) {
            mac[i] = (byte) Integer.parseInt(parts[i], 16);
        }
        return mac;
    }

    private static long deviceWrapperNs(ArrayList<HGF_READ_PARAMETER_TLV> list, byte[] device, int times)
            throws LCMPException {
        long start = System.nanoTime();
        for (int i = 0; i < times; i++) {
            sink = LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, list, device);
        }
        return (System.nanoTime() - start) / times;
    }

    /**
     * The round trip of a one-parameter read from a device (a simulator on the other end of the
     * adapter's link) through LCMP_Read_Wrapper, beside the same read through the C interface, in
     * one session; rounds alternate the two.
     */
    private static void deviceRoundTrip(String adapter, byte[] device, int rounds) throws Exception {
        final int reads = 2_000;
        check(LCMPCommManager.initIDs() == 0, "initIDs failed");
        check(Floor.init() == 0, "the floor library could not bind");
        System.out.println("# one-parameter read of " + Arrays.toString(device) + " on " + adapter + ", " + rounds
                + " rounds of " + reads + " reads after a warm-up, median shown; run without -Xcheck:jni");
        ArrayList<HGF_READ_PARAMETER_TLV> list = new ArrayList<>();
        list.add(new HGF_READ_PARAMETER_TLV((byte) 1));
        LCMPSession session = LCMPSession.open(adapter, 1000, 1);
        try {
            LCMPResponse first = LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, list, device);
            check(first.getHGF_TLVs().size() == 1, "the device's answer holds " + first.getHGF_TLVs().size() + " TLVs");
            for (int i = 0; i < 2; i++) {  // warm-up
                check(Floor.deviceReadC(device, reads) > 0, "the C read failed");
                deviceWrapperNs(list, device, reads);
            }
            long[] java = new long[rounds];
            long[] c = new long[rounds];
            for (int r = 0; r < rounds; r++) {
                if (r % 2 == 0) {
                    java[r] = deviceWrapperNs(list, device, reads);
                    c[r] = Floor.deviceReadC(device, reads);
                } else {
                    c[r] = Floor.deviceReadC(device, reads);
                    java[r] = deviceWrapperNs(list, device, reads);
                }
                check(c[r] > 0, "a C read failed: " + c[r]);
            }
            print("device_read_java_ns", java);
            print("device_read_c_ns", c);
        } finally {
            session.close();
        }
    }

    /** A group read with {@code stamped} registered; ns from the call to its last callback. */
    private static long groupReadToLastJavaCallback(Stamped stamped, ArrayList<HGF_READ_PARAMETER_TLV> list,
            byte[] device) throws LCMPException {
        check(LCMPCommManager.LCMP_RegisterCallBack(stamped), "registration failed");
        long calls = stamped.calls.get();
        long start = System.nanoTime();
        LCMPResponse all = LCMPCommManager.LCMP_Read_Wrapper((byte) 1, (byte) 0, list, device);
        check(all.getHGF_TLVs().size() == 200 && stamped.calls.get() - calls == 200,
                "group read with a callback: " + all.getHGF_TLVs().size() + " answers");
        check(LCMPCommManager.LCMP_UnRegisterCallBack(stamped), "unregistration failed");
        return stamped.last - start;
    }

    /** A group read without a Java callback; ns from the call to the last answer's delivery. */
    private static long groupReadToLastAnswer(ArrayList<HGF_READ_PARAMETER_TLV> list, byte[] device)
            throws LCMPException {
        long stamps = Floor.stampCount();
        long start = System.nanoTime();
        LCMPResponse all = LCMPCommManager.LCMP_Read_Wrapper((byte) 1, (byte) 0, list, device);
        check(all.getHGF_TLVs().size() == 200 && Floor.stampCount() - stamps == 200,
                "group read without a callback: " + all.getHGF_TLVs().size() + " answers");
        return Floor.stampLast() - start;
    }

    private static void printSoak(String link, Soak s) {
        System.out.println("# " + link + " link: " + s);
        String k = "java_soak_" + link + "_";
        System.out.printf("%srequests_per_s %.0f%n", k, s.rate());
        System.out.println(k + "calls " + s.calls.get());
        System.out.println(k + "timeouts " + s.timeouts.get());
        System.out.println(k + "wrong " + s.wrong.get());
        System.out.println(k + "failed " + s.failed.get());
        System.out.println(k + "ctl_reads " + s.ctlRuns.get());
        System.out.println(k + "ctl_timeouts " + s.ctlTimeouts.get());
        System.out.println(k + "ctl_wrong " + s.ctlWrong.get());
    }

    /**
     * The soak of lcmptest.Soak in a session on {@code adapter} (attempts of 40 ms, 3 attempts): 5 s
     * on eight clean devices (02:00:00:00:01:01 onwards), then {@code seconds} on eight devices of a
     * flaky link (02:00:00:00:03:01 onwards), lcmp-ctl reading the same devices throughout.
     */
    private static void soak(String adapter, String ctl, int seconds) throws Exception {
        check(LCMPCommManager.initIDs() == 0, "initIDs failed");
        byte[][] clean = new byte[8][];
        byte[][] flaky = new byte[8][];
        for (int t = 0; t < 8; t++) {
            clean[t] = new byte[] {0x02, 0x00, 0x00, 0x00, 0x01, (byte) (0x01 + t)};
            flaky[t] = new byte[] {0x02, 0x00, 0x00, 0x00, 0x03, (byte) (0x01 + t)};
        }
        LCMPSession session = LCMPSession.open(adapter, 40, 3);
        try {
            printSoak("clean", Soak.run(clean, ctl, adapter, 40, 3, 5_000));
            printSoak("flaky", Soak.run(flaky, ctl, adapter, 40, 3, seconds * 1_000L));
        } finally {
            session.close();
        }
    }

    public static void main(String[] args) throws Exception {
        if (args.length == 2 && args[0].equals("--read-loop")) {
            readLoop(Long.parseLong(args[1]));
            return;
        }
        if (args.length >= 3 && args[0].equals("--callbacks")) {
            sessionCallbacks(args[1], parseMac(args[2]), args.length > 3 ? Integer.parseInt(args[3]) : 7);
            return;
        }
        if (args.length >= 3 && args[0].equals("--soak")) {
            soak(args[1], args[2], args.length > 3 ? Integer.parseInt(args[3]) : 20);
            return;
        }
        if (args.length >= 3 && args[0].equals("--device")) {
            deviceRoundTrip(args[1], parseMac(args[2]), args.length > 3 ? Integer.parseInt(args[3]) : 7);
            return;
        }
        int rounds = args.length > 0 ? Integer.parseInt(args[0]) : 7;
        check(LCMPCommManager.initIDs() == 0, "initIDs failed");
        check(Floor.init() == 0, "the floor library could not bind");
        System.out.println("# JVM " + System.getProperty("java.vm.name") + " " + System.getProperty("java.vm.version")
                + ", " + rounds + " rounds after a warm-up, median shown; run without -Xcheck:jni");

        // ---- Row 5: read of ten parameters ----
        ArrayList<HGF_READ_PARAMETER_TLV> list = new ArrayList<>();
        for (int i = 0; i < 10; i++) {
            list.add(new HGF_READ_PARAMETER_TLV((byte) (i + 1)));
        }
        LCMPResponse fromWrapper = LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, list, DEVICE);
        Object[] last = new Object[1];
        check(Floor.buildResponse(DEVICE, 1, last) >= 0, "floor response failed");
        String expected = text(javaResponse());
        check(text(fromWrapper).equals(expected), "the wrapper's response differs: " + text(fromWrapper));
        check(text((LCMPResponse) last[0]).equals(expected), "the floor's response differs");
        int[] sum = new int[1];
        check(Floor.readRequest(list, 1, sum) >= 0 && sum[0] == 55, "request floor failed");
        check(Floor.engineRead(1) >= 0, "the engine's read failed");

        for (int i = 0; i < 3; i++) {  // warm-up: every path compiled
            wrapperNs(list, READS);
            Floor.buildResponse(DEVICE, READS, last);
            Floor.readRequest(list, READS, sum);
            Floor.engineRead(READS);
            javaNs(READS);
        }
        long[] wrapper = new long[rounds];
        long[] floor = new long[rounds];
        long[] request = new long[rounds];
        long[] engine = new long[rounds];
        long[] java = new long[rounds];
        for (int r = 0; r < rounds; r++) {
            if (r % 2 == 0) {
                wrapper[r] = wrapperNs(list, READS);
                floor[r] = Floor.buildResponse(DEVICE, READS, last);
            } else {
                floor[r] = Floor.buildResponse(DEVICE, READS, last);
                wrapper[r] = wrapperNs(list, READS);
            }
            request[r] = Floor.readRequest(list, READS, sum);
            engine[r] = Floor.engineRead(READS);
            java[r] = javaNs(READS);
        }
        print("read10_wrapper_ns", wrapper);
        print("read10_jni_floor_ns", floor);
        print("read10_request_floor_ns", request);
        print("read10_engine_ns", engine);
        print("read10_java_ns", java);

        String calls = Floor.countReadCalls(() -> {
            try {
                sink = LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, list, DEVICE);
            } catch (LCMPException e) {
                throw new IllegalStateException(e);
            }
        });
        if (calls != null) {
            for (String line : calls.split("\n")) {
                if (line.startsWith("total ")) {
                    System.out.println("read10_jni_calls " + line.substring(6));
                } else {
                    System.out.println("# JNI calls of one read: " + line);
                }
            }
        }

        // ---- Row 6: delivery to a Java callback ----
        Counter callback = new Counter();
        check(LCMPCommManager.LCMP_RegisterCallBack(callback), "registration failed");
        byte[] message = {0x05, 0x06, 0x00, 0x00, 0x03, 0x00, 0x05, (byte) 0xF0, (byte) 0xF1};
        LCMPResponse ready = new LCMPResponse(SENDER);
        ready.addHGF_TLV(new HGF_PARAMETER_TLV((byte) 5, new byte[] {(byte) 0xF0, (byte) 0xF1}));
        check(Floor.deliverThroughLibrary(SENDER, 353, message, 1) >= 0 && callback.calls.get() == 1,
                "no delivery through the library");
        check(text((LCMPResponse) sink).equals(text(ready)), "the delivered response differs");
        for (int i = 0; i < 2; i++) {
            Floor.deliverThroughLibrary(SENDER, 353, message, DELIVERIES);
            Floor.attachCallDetach(callback, ready, DELIVERIES);
        }
        // Shorter rounds, three times as many: a delivery round is long enough for other work on
        // the machine to land in it, and the median of many short ones rides over that.
        long[] deliver = new long[3 * rounds];
        long[] attach = new long[3 * rounds];
        long before = callback.calls.get();
        for (int r = 0; r < deliver.length; r++) {
            if (r % 2 == 0) {
                deliver[r] = Floor.deliverThroughLibrary(SENDER, 353, message, DELIVERIES);
                attach[r] = Floor.attachCallDetach(callback, ready, DELIVERIES);
            } else {
                attach[r] = Floor.attachCallDetach(callback, ready, DELIVERIES);
                deliver[r] = Floor.deliverThroughLibrary(SENDER, 353, message, DELIVERIES);
            }
        }
        check(callback.calls.get() - before == 2L * deliver.length * DELIVERIES, "deliveries were lost");
        print("deliver_ns", deliver);
        print("deliver_floor_ns", attach);
        check(LCMPCommManager.LCMP_UnRegisterCallBack(callback), "unregistration failed");
        List<LCMPAbstractCallBack> left = LCMPCommManager.getRegisteredCallBacks();
        check(left.isEmpty(), "callbacks left registered");
    }
}
