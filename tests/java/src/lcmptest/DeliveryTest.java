package lcmptest;

import static lcmptest.Lcmp.SENDER;
import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.confirmation;
import static lcmptest.Lcmp.record;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.CopyOnWriteArrayList;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Messages delivered to Java callback objects on a native thread, as the receive thread delivers
 * them: which records are kept, the response built from them, attachment around each delivery,
 * one-shot callbacks and callbacks that throw.
 */
class DeliveryTest {
    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

    /** Exceptions left pending on delivery threads when they detached. */
    private final List<Throwable> uncaught = Collections.synchronizedList(new ArrayList<>());

    @BeforeAll
    static void bind() {
        Lcmp.bind();
    }

    @BeforeEach
    void collectUncaught() {
        Thread.setDefaultUncaughtExceptionHandler((t, e) -> uncaught.add(e));
    }

    @AfterEach
    void nothingStaysRegistered() {
        Thread.setDefaultUncaughtExceptionHandler(null);
        Lcmp.unregisterAll();
    }

    private static Recorder register(HGF_TLV_Type tlv, LCMP_OPCODE_Type opcode) throws LCMPException {
        Recorder r = new Recorder(tlv, opcode);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(r));
        return r;
    }

    private static TestHooks.Delivery deliver(int opcode, byte[] payload) {
        TestHooks.Delivery d = TestHooks.deliver(SENDER, opcode, payload, 1, true);
        assertFalse(d.attachedAfter, "the delivery thread is detached after the delivery");
        return d;
    }

    @Test
    void onlyRecordsOfTheFilterTypeAreDelivered() throws LCMPException {
        Recorder r = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        // A type 5 record of value length 2 is stepped over by its own length.
        deliver(353, confirmation(record(5, bytes(0, 0)), record(0, bytes(7, 1, 2))));
        assertEquals(1, r.calls());
        LCMPResponse response = r.last();
        assertEquals(1, response.getHGF_TLVs().size());
        HGF_PARAMETER_TLV p = Lcmp.parameter(response.getHGF_TLVs().get(0));
        assertEquals(7, p.getParamterType());
        assertArrayEquals(bytes(1, 2), p.getParameterValue());
        assertArrayEquals(SENDER, response.getDeviceAddress(), "the response carries the message's source");
        assertNotSame(Thread.currentThread(), r.threads().get(0));

        deliver(353, confirmation(record(0, bytes(8))));
        assertEquals(2, r.calls());
        assertArrayEquals(new byte[0], Lcmp.parameter(r.last().getHGF_TLVs().get(0)).getParameterValue());
        assertNotSame(response.getDeviceAddress(), r.last().getDeviceAddress(), "a new array for each delivery");
        assertEquals(6, r.last().getDeviceAddress().length);
    }

    @Test
    void recordsWithoutValueAreNotDeliveredAndTheThreadIsNotAttached() throws LCMPException {
        Recorder r = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        long started = THREADS.getTotalStartedThreadCount();
        deliver(353, confirmation(record(0, new byte[0]), record(0, new byte[0]), record(1, bytes(1, 2))));
        deliver(353, confirmation());
        assertEquals(0, r.calls());
        assertEquals(started, THREADS.getTotalStartedThreadCount(), "no thread was attached");

        deliver(353, confirmation(record(0, new byte[0]), record(0, bytes(3, 4))));
        assertEquals(1, r.calls());
        assertEquals(1, r.last().getHGF_TLVs().size());
        assertEquals(started + 1, THREADS.getTotalStartedThreadCount(), "one attachment for one delivery");
    }

    @Test
    void everyDeliveryAttachesTheThreadAnew() throws LCMPException {
        Recorder a = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        Recorder b = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        TestHooks.Delivery d = TestHooks.deliver(SENDER, 353, confirmation(record(0, bytes(1, 2))), 3, false);
        assertFalse(d.attachedAfter);
        assertEquals(3, a.calls());
        assertEquals(3, b.calls());
        Set<Thread> seen = new HashSet<>(a.threads());
        seen.addAll(b.threads());
        assertEquals(6, seen.size(), "each delivery ran as a thread of its own: attached, then detached");
        for (Thread t : seen) {
            assertFalse(t.isAlive());
            assertTrue(t.isDaemon(), "a blocked delivery must not hold up the JVM's exit");
        }
    }

    @Test
    void aOneShotCallbackIsUnregisteredThroughTheHostAfterItsFirstDelivery() throws LCMPException {
        Recorder other = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        Recorder oneShot = register(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        byte[] message = confirmation(record(8, bytes(0x12, 0x34)));
        TestHooks.Delivery d = deliver(359, message);
        assertEquals(1, oneShot.calls());
        assertEquals(0, oneShot.last().getHGF_TLVs().size());
        assertArrayEquals(SENDER, oneShot.last().getDeviceAddress());
        assertEquals(Collections.singletonList(other), LCMPCommManager.getRegisteredCallBacks());
        assertFalse(d.stdout.contains("UNABLE TO UNREGISTER!"), d.stdout);
        deliver(359, message);
        assertEquals(1, oneShot.calls(), "called once only");
        assertTrue(uncaught.isEmpty(), uncaught.toString());
    }

    @Test
    void aCallbackThatThrowsLeavesItsExceptionOnTheDeliveryThread() throws LCMPException {
        IllegalStateException thrown = new IllegalStateException("from a delivery");
        Recorder throwing = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF).then(r -> {
            throw thrown;
        });
        Recorder next = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        deliver(353, confirmation(record(0, bytes(1, 2))));
        assertEquals(1, throwing.calls());
        assertEquals(1, next.calls(), "the next callback is still called");
        assertEquals(Collections.singletonList(thrown), uncaught);
        assertEquals(2, LCMPCommManager.getRegisteredCallBacks().size());
    }

    @Test
    void anUncaughtExceptionHandlerMayCallNativeCodeAsTheThreadDetaches() throws LCMPException {
        // The handler runs inside DetachCurrentThread: a JNI call made there while the library had not
        // yet asked whether the callback threw is a JNI fault (-Xcheck:jni warns; run_jvm.sh fails).
        // The native method is linked beforehand, as linking runs native code of the JVM's own first.
        CopyOnWriteArrayList<Throwable> handled = new CopyOnWriteArrayList<>();
        TestHooks.throwOnNativeThread(-22, "linking");
        Thread.setDefaultUncaughtExceptionHandler((t, e) -> {
            TestHooks.throwOnNativeThread(-22, "from the handler");
            handled.add(e);
        });
        IllegalStateException thrown = new IllegalStateException("into the handler");
        Recorder throwing = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF).then(r -> {
            throw thrown;
        });
        // Not captured: the JVM writes its warning to the standard output.
        TestHooks.deliver(SENDER, 353, confirmation(record(0, bytes(1, 2))), 1, false);
        assertEquals(1, throwing.calls());
        assertEquals(List.of(thrown), handled);
    }

    @Test
    void aOneShotCallbackThatThrowsIsUnregisteredAllTheSame() throws LCMPException {
        IllegalStateException thrown = new IllegalStateException("from a one-shot delivery");
        Recorder oneShot = register(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP).then(r -> {
            throw thrown;
        });
        byte[] message = confirmation(record(8, bytes(1)));
        deliver(359, message);
        assertEquals(0, LCMPCommManager.getRegisteredCallBacks().size());
        assertEquals(Collections.singletonList(thrown), uncaught, "its exception stays pending all the same");
        deliver(359, message);
        assertEquals(1, oneShot.calls());
    }

    @Test
    void aThreadThatWasAttachedAlreadyStaysAttachedAndKeepsTheException() throws LCMPException {
        IllegalStateException thrown = new IllegalStateException("on an attached thread");
        Recorder throwing = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF).then(r -> {
            throw thrown;
        });
        Recorder next = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        TestHooks.Delivery d = TestHooks.deliver(SENDER, 353, confirmation(record(0, bytes(1, 2))), 2, false, true);
        assertTrue(d.attachedAfter, "a thread the library did not attach is not detached");
        assertSame(thrown, d.pending, "the exception stays pending for the thread's owner");
        assertEquals(1, throwing.calls());
        assertEquals(0, next.calls(), "no call into Java while an exception is pending");
        assertTrue(uncaught.isEmpty(), uncaught.toString());

        throwing.then(r -> { });
        d = TestHooks.deliver(SENDER, 353, confirmation(record(0, bytes(1, 2))), 2, false, true);
        assertNull(d.pending);
        assertEquals(3, throwing.calls());
        assertEquals(2, next.calls());
        assertEquals(1, new HashSet<>(next.threads()).size(), "both deliveries ran on the one attached thread");
    }

    @Test
    void aCallbackMayUnregisterItselfAndOthersFromTheDeliveryThread() throws LCMPException {
        Recorder later = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        Recorder self = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        self.then(r -> {
            assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack(later));
            assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack(self));
        });
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(self));
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(later));
        byte[] message = confirmation(record(0, bytes(1, 2)));
        deliver(353, message);
        deliver(353, message);
        assertEquals(1, self.calls());
        assertEquals(0, later.calls());
        assertTrue(uncaught.isEmpty(), uncaught.toString());
    }

    @Test
    void tenThousandRecordsReachOneCallback() throws LCMPException {
        Recorder r = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        byte[][] records = new byte[10_000][];
        for (int i = 0; i < records.length; i++) {
            records[i] = record(0, bytes(i, i >> 8));
        }
        deliver(353, confirmation(records));
        assertEquals(1, r.calls());
        assertEquals(10_000, r.last().getHGF_TLVs().size());
        HGF_PARAMETER_TLV last = Lcmp.parameter(r.last().getHGF_TLVs().get(9_999));
        assertEquals((byte) 9_999, last.getParamterType());
        assertArrayEquals(bytes(9_999 >> 8), last.getParameterValue());
    }
}
