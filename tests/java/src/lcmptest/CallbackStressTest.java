package lcmptest;

import static lcmptest.Lcmp.DEVICE;
import static lcmptest.Lcmp.SENDER;
import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.confirmation;
import static lcmptest.Lcmp.record;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPAbstractCallBack;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_NOTIFY_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_READ_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadInfo;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Random;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Registration and unregistration through the reference host (which serialises both with its
 * class lock) on several Java threads, while native threads deliver messages, a Java thread reads
 * (so reads call the callbacks too), one-shot callbacks come and go, callbacks unregister
 * themselves from inside deliveries and the collector runs. Nothing may deadlock, crash or
 * raise a JNI warning; one-shot callbacks are called at most once.
 */
class CallbackStressTest {
    private static final long RUN_MILLIS = 3_000;

    @BeforeAll
    static void bind() {
        Lcmp.bind();
    }

    private final AtomicBoolean running = new AtomicBoolean(true);
    private final ConcurrentLinkedQueue<Throwable> failures = new ConcurrentLinkedQueue<>();
    private final AtomicLong calls = new AtomicLong();

    /** A counting callback; with {@code leaveAfterFirst} it unregisters itself on its first call. */
    private final class Counter extends LCMPAbstractCallBack {
        final HGF_TLV_Type tlv;
        final LCMP_OPCODE_Type opcode;
        final AtomicInteger count = new AtomicInteger();
        final boolean leaveAfterFirst;

        Counter(HGF_TLV_Type tlv, LCMP_OPCODE_Type opcode, boolean leaveAfterFirst) {
            this.tlv = tlv;
            this.opcode = opcode;
            this.leaveAfterFirst = leaveAfterFirst;
        }

        @Override
        public HGF_TLV_Type getFilterHGF_TLV_Type() {
            return tlv;
        }

        @Override
        public LCMP_OPCODE_Type getFilterLCMP_OPCODE_Type() {
            return opcode;
        }

        @Override
        public void LCMPCallBack(LCMPResponse response) {
            calls.incrementAndGet();
            if (count.incrementAndGet() == 1 && leaveAfterFirst) {
                LCMPCommManager.LCMP_UnRegisterCallBack(this);
            }
        }
    }

    private Thread worker(String name, ThrowingRunnable body) {
        Thread t = new Thread(() -> {
            try {
                while (running.get()) {
                    body.run();
                }
            } catch (Throwable e) {
                failures.add(e);
            }
        }, name);
        t.start();
        return t;
    }

    private interface ThrowingRunnable {
        void run() throws Exception;
    }

    @Test
    void registrationRacesDeliveriesReadsAndTheCollector() throws Exception {
        List<Throwable> uncaught = Collections.synchronizedList(new ArrayList<>());
        Thread.setDefaultUncaughtExceptionHandler((t, e) -> uncaught.add(e));
        ConcurrentLinkedQueue<Counter> oneShots = new ConcurrentLinkedQueue<>();
        AtomicLong deliveries = new AtomicLong();
        AtomicLong reads = new AtomicLong();
        AtomicLong registrations = new AtomicLong();
        byte[] parameters = confirmation(record(0, bytes(1, 2)), record(0, bytes(3, 4)));
        byte[] notifyConfirm = confirmation(record(8, bytes(1)));
        ArrayList<HGF_READ_PARAMETER_TLV> readList =
                new ArrayList<>(Collections.singletonList(new HGF_READ_PARAMETER_TLV((byte) 1)));

        List<Thread> threads = new ArrayList<>();
        threads.add(worker("deliver 353", () -> {
            TestHooks.deliver(SENDER, 353, parameters, 20, false);
            deliveries.addAndGet(20);
        }));
        threads.add(worker("deliver 359", () -> {
            TestHooks.deliver(SENDER, 359, notifyConfirm, 20, false);
            deliveries.addAndGet(20);
        }));
        threads.add(worker("reader", () -> {
            LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, readList, DEVICE);
            reads.incrementAndGet();
        }));
        for (int i = 0; i < 2; i++) {
            Random random = new Random(i);
            threads.add(worker("registrar " + i, () -> {
                Counter c = new Counter(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF,
                        random.nextInt(4) == 0);
                assertTrue(LCMPCommManager.LCMP_RegisterCallBack(c));
                registrations.incrementAndGet();
                List<LCMPAbstractCallBack> registered = LCMPCommManager.getRegisteredCallBacks();
                registered.removeIf(r -> r.getFilterHGF_TLV_Type() != HGF_TLV_Type.HGF_PARAMETER);
                if (registered.size() > 8) {
                    // Another thread or a delivery may have removed it meanwhile. One-shot callbacks
                    // are left to their deliveries.
                    LCMPCommManager.LCMP_UnRegisterCallBack(registered.get(random.nextInt(registered.size())));
                }
            }));
        }
        threads.add(worker("one-shots", () -> {
            Counter c = new Counter(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP, false);
            oneShots.add(c);
            LCMPCommManager.LCMP_Notify_Wrapper((byte) 1, (byte) 0,
                    new ArrayList<>(Collections.singletonList(new HGF_NOTIFY_TLV((byte) 2, bytes(1)))), DEVICE,
                    (byte) 0, c);
            registrations.incrementAndGet();
            Thread.sleep(1);
        }));
        threads.add(worker("collector", () -> {
            System.gc();
            Thread.sleep(50);
        }));

        Thread.sleep(RUN_MILLIS);
        running.set(false);
        for (Thread t : threads) {
            t.join(20_000);
            if (t.isAlive()) {
                StringBuilder dump = new StringBuilder("no progress (deadlock?):\n");
                for (ThreadInfo info : ManagementFactory.getThreadMXBean().dumpAllThreads(true, true)) {
                    dump.append(info);
                }
                fail(dump.toString());
            }
        }
        Thread.setDefaultUncaughtExceptionHandler(null);
        if (!failures.isEmpty()) {
            AssertionError e = new AssertionError(failures.size() + " worker(s) failed");
            failures.forEach(e::addSuppressed);
            throw e;
        }
        assertTrue(uncaught.isEmpty(), uncaught.toString());
        System.out.printf("stress: %d deliveries, %d reads, %d registrations, %d callback calls in %d ms%n",
                deliveries.get(), reads.get(), registrations.get(), calls.get(), RUN_MILLIS);
        assertTrue(deliveries.get() > 0 && reads.get() > 0 && registrations.get() > 0 && calls.get() > 0);

        int delivered = 0;
        for (Counter c : oneShots) {
            assertTrue(c.count.get() <= 1, "a one-shot callback was called " + c.count.get() + " times");
            delivered += c.count.get();
            if (c.count.get() == 1) {
                assertFalse(LCMPCommManager.getRegisteredCallBacks().contains(c), "a delivered one-shot stays");
            }
        }
        assertTrue(delivered > 0, "one-shot deliveries");

        // What is left is consistent: the host removes it all, and nothing is called afterwards.
        Lcmp.unregisterAll();
        long before = calls.get();
        TestHooks.deliver(SENDER, 353, parameters, 1, false);
        TestHooks.deliver(SENDER, 359, notifyConfirm, 1, false);
        LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, readList, DEVICE);
        assertEquals(before, calls.get());
    }
}
