package lcmptest;

import static lcmptest.Lcmp.DEVICE;
import static lcmptest.Lcmp.SENDER;
import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.confirmation;
import static lcmptest.Lcmp.record;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPAbstractCallBack;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_NOTIFY_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_READ_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Random;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.locks.LockSupport;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Eight Java threads for 60 s (LCMP_LONG=1; 3 s in the short form) while a session on the veth
 * pair of netns_java.sh receives frames: two readers and a writer (whose wrappers call the
 * callbacks of their kind), two threads registering and unregistering callbacks, one taking out
 * notification subscriptions (each registers a one-shot callback), and two sending frames on the
 * other end of the pair (read and write confirmations, and notify responses). No crash, no
 * deadlock, no JNI warning, every response well formed, and every one-shot callback delivered
 * exactly once and then unregistered.
 */
class JavaConcurrencyTest {
    private static byte[] own;

    @BeforeAll
    static void open() {
        Lcmp.bind();
        own = TestHooks.adapterAddress(Wire.SESSION);
        assertNotNull(own, "no adapter " + Wire.SESSION);
        assertEquals(0, TestHooks.sessionOpen(Wire.SESSION));
    }

    @AfterAll
    static void close() {
        TestHooks.sessionEnd();
    }

    private final AtomicBoolean running = new AtomicBoolean(true);
    private final ConcurrentLinkedQueue<Throwable> failures = new ConcurrentLinkedQueue<>();
    private final AtomicLong calls = new AtomicLong();
    /** Deliveries on the library's receive thread, as opposed to the wrappers' calls on the workers. */
    private final AtomicLong fromWire = new AtomicLong();
    private static final ThreadLocal<Boolean> WORKER = ThreadLocal.withInitial(() -> false);

    private interface Step {
        void run() throws Exception;
    }

    private Thread worker(String name, Step step) {
        Thread t = new Thread(() -> {
            WORKER.set(true);
            try {
                while (running.get()) {
                    step.run();
                }
            } catch (Throwable e) {
                failures.add(e);
            }
        }, name);
        t.start();
        return t;
    }

    /** Counts its deliveries and checks what each response holds. */
    private final class Counter extends LCMPAbstractCallBack {
        final HGF_TLV_Type tlv;
        final LCMP_OPCODE_Type opcode;
        final AtomicInteger count = new AtomicInteger();

        Counter(HGF_TLV_Type tlv, LCMP_OPCODE_Type opcode) {
            this.tlv = tlv;
            this.opcode = opcode;
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
            count.incrementAndGet();
            calls.incrementAndGet();
            if (!WORKER.get()) {
                fromWire.incrementAndGet();
            }
            try {
                assertEquals(6, response.getDeviceAddress().length);
                if (tlv == HGF_TLV_Type.HGF_PARAMETER) {
                    assertFalse(response.getHGF_TLVs().isEmpty(), "a parameter delivery without parameters");
                    for (Object t : response.getHGF_TLVs()) {
                        assertTrue(t instanceof HGF_PARAMETER_TLV, "not a parameter: " + t);
                    }
                }
            } catch (Throwable e) {
                failures.add(e);
            }
        }
    }

    @Test
    void eightThreadsWhileFramesArrive() throws Exception {
        final long runMillis = Wire.longForm() ? 60_000 : 3_000;
        List<Throwable> uncaught = Collections.synchronizedList(new ArrayList<>());
        Thread.setDefaultUncaughtExceptionHandler((t, e) -> uncaught.add(e));
        ConcurrentLinkedQueue<Counter> oneShots = new ConcurrentLinkedQueue<>();
        AtomicLong reads = new AtomicLong();
        AtomicLong writes = new AtomicLong();
        AtomicLong registrations = new AtomicLong();
        AtomicLong unregistrations = new AtomicLong();
        AtomicLong frames = new AtomicLong();
        AtomicBoolean subscribing = new AtomicBoolean(true);
        AtomicBoolean notifying = new AtomicBoolean(true);
        ArrayList<HGF_READ_PARAMETER_TLV> readList = new ArrayList<>(
                Arrays.asList(new HGF_READ_PARAMETER_TLV((byte) 1), new HGF_READ_PARAMETER_TLV((byte) 2)));
        ArrayList<HGF_PARAMETER_TLV> writeList =
                new ArrayList<>(Collections.singletonList(new HGF_PARAMETER_TLV((byte) 7, bytes(1, 2, 3))));
        byte[] readConfirm = Wire.frame(own, SENDER, 0x161, 1, confirmation(record(0, bytes(3, 0xF0, 0xF1))));
        byte[] writeConfirm = Wire.frame(own, SENDER, 0x163, 2, confirmation(record(1, bytes(7))));
        byte[] notifyConfirm = Wire.frame(own, SENDER, 0x167, 3, confirmation(record(8, bytes(1))));

        List<Thread> threads = new ArrayList<>();
        for (int i = 0; i < 2; i++) {
            threads.add(worker("reader " + i, () -> {
                LCMPResponse r = LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, readList, DEVICE);
                assertEquals(2, r.getHGF_TLVs().size());
                reads.incrementAndGet();
                LockSupport.parkNanos(50_000);  // leaves the senders and the receive thread some of the CPUs
            }));
        }
        threads.add(worker("writer", () -> {
            assertNotNull(LCMPCommManager.LCMP_Write_Wrapper((byte) 1, (byte) 0, writeList, DEVICE));
            writes.incrementAndGet();
            LockSupport.parkNanos(50_000);
        }));
        for (int i = 0; i < 2; i++) {
            Random random = new Random(i);
            List<Counter> mine = new ArrayList<>();
            threads.add(worker("registrar " + i, () -> {
                boolean write = random.nextBoolean();
                Counter c = new Counter(write ? HGF_TLV_Type.HGF_WRITE_PARAMETER_CONFIRM : HGF_TLV_Type.HGF_PARAMETER,
                        write ? LCMP_OPCODE_Type.LCMP_WRITE_CNF : LCMP_OPCODE_Type.LCMP_READ_CNF);
                assertTrue(LCMPCommManager.LCMP_RegisterCallBack(c));
                registrations.incrementAndGet();
                mine.add(c);
                if (mine.size() > 4) {
                    assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack(mine.remove(random.nextInt(mine.size()))),
                            "a callback of this thread could not be unregistered");
                    unregistrations.incrementAndGet();
                }
                LockSupport.parkNanos(100_000);
            }));
        }
        threads.add(worker("subscriber", () -> {
            if (!subscribing.get()) {
                Thread.sleep(1);
                return;
            }
            Counter c = new Counter(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
            oneShots.add(c);
            LCMPCommManager.LCMP_Notify_Wrapper((byte) 0, (byte) 0,
                    new ArrayList<>(Collections.singletonList(new HGF_NOTIFY_TLV((byte) 2, bytes(1)))), DEVICE,
                    (byte) 0, c);
            LockSupport.parkNanos(500_000);
        }));
        threads.add(worker("confirmations", () -> {
            assertEquals(0, TestHooks.injectRepeated(Wire.PEER, readConfirm, 100));
            assertEquals(0, TestHooks.injectRepeated(Wire.PEER, writeConfirm, 100));
            frames.addAndGet(200);
            LockSupport.parkNanos(1_000_000);
        }));
        threads.add(worker("notify responses", () -> {
            if (!notifying.get()) {
                return;
            }
            assertEquals(0, TestHooks.injectRepeated(Wire.PEER, notifyConfirm, 20));
            frames.addAndGet(20);
            LockSupport.parkNanos(1_000_000);
        }));
        assertEquals(8, threads.size());

        Thread.sleep(runMillis);
        // No new subscriptions; notify responses go on until every one-shot has had its delivery.
        subscribing.set(false);
        long deadline = System.currentTimeMillis() + 20_000;
        while (System.currentTimeMillis() < deadline && oneShots.stream().anyMatch(c -> c.count.get() == 0)) {
            Thread.sleep(10);
        }
        notifying.set(false);
        Thread.sleep(200);  // frames in flight reach whatever is still registered
        running.set(false);
        for (Thread t : threads) {
            t.join(20_000);
            if (t.isAlive()) {
                fail("no progress (deadlock?):\n" + Wire.threadDump());
            }
        }
        Thread.setDefaultUncaughtExceptionHandler(null);
        if (!failures.isEmpty()) {
            AssertionError e = new AssertionError(failures.size() + " failure(s)");
            failures.forEach(e::addSuppressed);
            throw e;
        }
        assertTrue(uncaught.isEmpty(), uncaught.toString());
        System.out.printf("concurrency: %d reads, %d writes, %d registrations, %d unregistrations, "
                + "%d one-shots, %d frames sent, %d callback calls (%d from the wire) in %d ms%n", reads.get(),
                writes.get(), registrations.get(), unregistrations.get(), oneShots.size(), frames.get(), calls.get(),
                fromWire.get(), runMillis);
        assertTrue(reads.get() > 0 && writes.get() > 0 && registrations.get() > 0 && unregistrations.get() > 0);
        assertTrue(oneShots.size() > 0 && fromWire.get() > oneShots.size(), "deliveries from the wire");

        List<LCMPAbstractCallBack> left = LCMPCommManager.getRegisteredCallBacks();
        int index = 0;
        for (Counter c : oneShots) {
            assertEquals(1, c.count.get(), "one-shot callback " + index + " of " + oneShots.size());
            assertFalse(left.contains(c), "a delivered one-shot callback stays registered");
            index++;
        }
        Lcmp.unregisterAll();
    }
}
