package lcmptest;

import static lcmptest.Lcmp.SENDER;
import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.confirmation;
import static lcmptest.Lcmp.record;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPAbstractCallBack;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPSession;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import java.lang.management.ManagementFactory;
import java.lang.ref.WeakReference;
import java.lang.management.ThreadMXBean;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Sessions opened and closed on the veth pair of netns_java.sh, 1 000 times in the long form
 * (LCMP_LONG=1; 50 in the short one): on a quiet line, and while a delivery to a Java callback is
 * running (the callback waits for the test, and the session is ended from another thread
 * meanwhile). Unregistration does not wait for the running callback, the end does; no delivery thread stays attached afterwards, and no thread of
 * the library outlives its session.
 */
class SessionCycleTest {
    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();
    private static byte[] own;

    @BeforeAll
    static void bind() {
        Lcmp.bind();
        own = TestHooks.adapterAddress(Wire.SESSION);
        assertNotNull(own, "no adapter " + Wire.SESSION);
    }

    @AfterEach
    void cleanUp() {
        TestHooks.sessionEnd();
        Lcmp.unregisterAll();
    }

    private static int cycles() {
        return Wire.longForm() ? 1_000 : 50;
    }

    /** Live threads that are neither in {@code before} nor the JVM's own. */
    private static List<String> newThreads(long[] before) {
        List<String> extra = new ArrayList<>();
        outer:
        for (long id : THREADS.getAllThreadIds()) {
            for (long b : before) {
                if (b == id) {
                    continue outer;
                }
            }
            java.lang.management.ThreadInfo info = THREADS.getThreadInfo(id);
            if (info != null && !info.getThreadName().equals("Attach Listener")) {
                extra.add(info.getThreadName());
            }
        }
        return extra;
    }

    @Test
    void openAndCloseOnAQuietLine() {
        long[] before = THREADS.getAllThreadIds();
        for (int i = 0; i < cycles(); i++) {
            assertEquals(0, TestHooks.sessionOpen(Wire.SESSION), "open " + i);
            TestHooks.sessionEnd();
        }
        TestHooks.sessionEnd();  // a second end without a session is harmless
        assertEquals(List.of(), newThreads(before), "threads left behind");
    }

    @Test
    void callbacksDroppedWhenSessionsEndAreForgottenAndPositionsStayAligned() throws Exception {
        List<WeakReference<Recorder>> dropped = new ArrayList<>();
        for (int session = 0; session < 20; session++) {
            for (int i = 0; i < 10; i++) {
                Recorder r = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
                assertTrue(LCMPCommManager.LCMP_RegisterCallBack(r));
                dropped.add(new WeakReference<>(r));
            }
            assertEquals(0, TestHooks.sessionOpen(Wire.SESSION));
            TestHooks.sessionEnd();  // the receive loop ends and drops the ten
        }
        Recorder kept = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        Recorder later = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(kept));
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(later));
        assertEquals(List.of(kept, later), LCMPCommManager.getRegisteredCallBacks(), "the dropped ones are forgotten");
        for (int i = 0; i < 50 && dropped.stream().anyMatch(w -> w.get() != null); i++) {
            System.gc();
            Thread.sleep(10);
        }
        assertTrue(dropped.stream().allMatch(w -> w.get() == null), "the host still holds dropped callbacks");
        // Positions still name the right entries: removing the first leaves the second called.
        assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack(kept));
        TestHooks.deliver(SENDER, 0x161, confirmation(record(0, bytes(1, 2))), 1, false);
        assertEquals(0, kept.calls());
        assertEquals(1, later.calls(), "the later callback is still registered");
        assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack(later));
    }

    @Test
    void closeWhileACallbackRuns() throws Exception {
        long[] before = THREADS.getAllThreadIds();
        byte[] parameters = confirmation(record(0, bytes(5, 0xF0, 0xF1)));
        byte[] notifyConfirm = confirmation(record(8, bytes(1)));
        List<Thread> deliveryThreads = new ArrayList<>();
        for (int i = 0; i < cycles(); i++) {
            assertEquals(0, TestHooks.sessionOpen(Wire.SESSION), "open " + i);
            // Every other cycle the running callback is a one-shot, which the library unregisters
            // through the host at the end of its delivery, while the session is being ended.
            boolean oneShot = i % 2 == 1;
            CountDownLatch entered = new CountDownLatch(1);
            CountDownLatch release = new CountDownLatch(1);
            AtomicBoolean finished = new AtomicBoolean();
            Recorder sleeper = new Recorder(oneShot ? HGF_TLV_Type.HGF_NOTIFY_CONFIRM : HGF_TLV_Type.HGF_PARAMETER,
                    oneShot ? LCMP_OPCODE_Type.LCMP_NOTIFY_RSP : LCMP_OPCODE_Type.LCMP_READ_CNF).then(r -> {
                        entered.countDown();
                        try {
                            release.await(10, TimeUnit.SECONDS);
                        } catch (InterruptedException e) {
                            Thread.currentThread().interrupt();
                        }
                        finished.set(true);
                    });
            assertTrue(LCMPCommManager.LCMP_RegisterCallBack(sleeper));
            byte[] frame = Wire.frame(own, SENDER, oneShot ? 0x167 : 0x161, i, oneShot ? notifyConfirm : parameters);
            // A frame sent before the receive thread captures can be missed: send until one is delivered.
            for (int tries = 0; !entered.await(20, TimeUnit.MILLISECONDS); tries++) {
                if (tries == 250) {
                    fail("no delivery in cycle " + i + "\n" + Wire.threadDump());
                }
                assertEquals(0, TestHooks.injectFrame(Wire.PEER, frame));
            }
            if (!oneShot) {
                // Removal never waits for the running delivery (which waits for `release`).
                assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack(sleeper));
                assertFalse(finished.get(), "the unregistration waited for the delivery");
            }
            Thread ender = new Thread(TestHooks::sessionEnd, "session end " + i);
            ender.start();
            ender.join(10);
            assertTrue(ender.isAlive(), "the session ended while its callback was still running");
            release.countDown();
            ender.join(10_000);
            assertFalse(ender.isAlive(), "the session end does not return after its callback did");
            assertTrue(finished.get());
            assertEquals(1, sleeper.calls(), "cycle " + i);
            assertTrue(LCMPCommManager.getRegisteredCallBacks().isEmpty(), "cycle " + i + ": left registered");
            deliveryThreads.addAll(sleeper.threads());
        }
        for (Thread t : deliveryThreads) {
            t.join(1_000);
            assertFalse(t.isAlive(), "a delivery thread stays attached: " + t);
        }
        assertEquals(List.of(), newThreads(before), "threads left behind");
    }

    /** Counts its deliveries and keeps nothing. */
    private static final class Counter extends LCMPAbstractCallBack {
        final AtomicInteger calls = new AtomicInteger();

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
        }
    }

    /**
     * Sends {@code frame} until {@code calls} reached {@code total} (the capture may drop frames of
     * a burst) and no delivery is running any more.
     */
    private static void deliverAtLeast(byte[] frame, AtomicInteger calls, int total) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(120);
        for (int seen = -1; calls.get() != seen; Thread.sleep(50)) {
            seen = calls.get();
            if (seen < total) {
                assertTrue(System.nanoTime() < deadline, "only " + seen + " of " + total + " deliveries");
                assertEquals(0, TestHooks.injectRepeated(Wire.PEER, frame, Math.min(total - seen, 2_000)));
                seen = -1;
            }
        }
    }

    @Test
    void aJavaSessionDeliversOnOneDaemonThreadAndHandsThrownExceptionsToItsHandler() throws Exception {
        List<Thread> handledOn = new CopyOnWriteArrayList<>();
        List<Throwable> handled = new CopyOnWriteArrayList<>();
        List<Throwable> thrown = new CopyOnWriteArrayList<>();
        AtomicInteger count = new AtomicInteger();
        Recorder throwing = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF).then(r -> {
            if (count.incrementAndGet() % 2 == 0) {
                IllegalStateException e = new IllegalStateException("delivery " + count.get());
                thrown.add(e);
                throw e;
            }
        });
        Recorder next = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(throwing));
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(next));
        byte[] frame = Wire.frame(own, SENDER, 0x161, 1, confirmation(record(0, bytes(5, 0xF0))));
        Thread.setDefaultUncaughtExceptionHandler((t, e) -> {
            handledOn.add(t);
            handled.add(e);
        });
        Thread receive;
        LCMPSession session = LCMPSession.open(Wire.SESSION);
        try {
            for (int tries = 0; next.calls() < 6; tries++) {
                assertTrue(tries < 500, "deliveries: " + next.calls());
                assertEquals(0, TestHooks.injectFrame(Wire.PEER, frame));
                Thread.sleep(10);
            }
            receive = next.threads().get(0);
        } finally {
            Lcmp.unregisterAll();  // before the end of the session, which would drop them
            session.close();
            Thread.setDefaultUncaughtExceptionHandler(null);
        }
        HashSet<Thread> threads = new HashSet<>(throwing.threads());
        threads.addAll(next.threads());
        assertEquals(1, threads.size(), "one thread for every delivery of the session");
        assertTrue(receive.isDaemon());
        assertEquals("lcmp-receive " + Wire.SESSION, receive.getName());
        assertEquals(throwing.calls(), next.calls(), "deliveries go on after a callback threw");
        assertEquals(thrown, handled, "each thrown exception, once, to the handler");
        for (Thread t : handledOn) {
            assertSame(receive, t);
        }
        receive.join(1_000);
        assertFalse(receive.isAlive(), "detached when the session ended");
    }

    @Test
    void aHundredThousandDeliveriesLeaveTheReferenceCountsFlat() throws Exception {
        Counter counter = new Counter();
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(counter));
        byte[] frame = Wire.frame(own, SENDER, 0x161, 1, confirmation(record(0, bytes(5, 0xF0))));
        LCMPSession session = LCMPSession.open(Wire.SESSION);
        try {
            deliverAtLeast(frame, counter.calls, 1_000);
            long[] before = TestHooks.jniReferenceCounts();
            deliverAtLeast(frame, counter.calls, 101_000);
            long[] after = TestHooks.jniReferenceCounts();
            assertEquals(before[0], after[0], "JNI global references");
            // Other threads of the JVM may hold a local reference or two at
            // either moment; one kept per delivery would add 100 000.
            assertTrue(after[1] - before[1] < 100, "JNI local references: " + before[1] + ", then " + after[1]);
        } finally {
            Lcmp.unregisterAll();
            session.close();
        }
    }
}
