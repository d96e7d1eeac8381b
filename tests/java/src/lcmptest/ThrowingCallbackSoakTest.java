package lcmptest;

import static lcmptest.Lcmp.SENDER;
import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.confirmation;
import static lcmptest.Lcmp.record;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.util.concurrent.atomic.AtomicLong;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * A callback that throws on every one of 100 000 deliveries from native threads (10 000 in the
 * short form; LCMP_LONG=1 for the long one), with a well-behaved callback registered after it:
 * every delivery reaches both, each thrown exception leaves its delivery thread as that thread's
 * uncaught exception when it detaches, and no thread stays attached. Under -Xcheck:jni the run
 * must not print a JNI warning (run_jvm.sh checks).
 */
class ThrowingCallbackSoakTest {
    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

    @BeforeAll
    static void bind() {
        Lcmp.bind();
    }

    @AfterEach
    void cleanUp() {
        Thread.setDefaultUncaughtExceptionHandler(null);
        Lcmp.unregisterAll();
    }

    @Test
    void everyDeliveryThrowsAndTheLibraryKeepsDelivering() throws Exception {
        final int deliveries = Wire.longForm() ? 100_000 : 10_000;
        final int batch = 2_000;
        IllegalStateException thrown = new IllegalStateException("thrown by the callback");
        AtomicLong uncaught = new AtomicLong();
        AtomicLong other = new AtomicLong();
        Thread.setDefaultUncaughtExceptionHandler((t, e) -> {
            if (e == thrown) {
                uncaught.incrementAndGet();
            } else {
                other.incrementAndGet();
            }
        });
        Recorder throwing = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF).then(r -> {
            throw thrown;
        });
        AtomicLong behind = new AtomicLong();
        Recorder next = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF)
                .then(r -> behind.incrementAndGet());
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(throwing));
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(next));
        byte[] message = confirmation(record(0, bytes(1, 0xF0, 0xF1)));
        int liveBefore = THREADS.getThreadCount();

        for (int done = 0; done < deliveries; done += batch) {
            TestHooks.Delivery d = TestHooks.deliver(SENDER, 353, message, batch, false);
            assertFalse(d.attachedAfter, "the delivery thread stays attached");
            assertNull(d.pending);
            // The recorders keep every response: only the counts are wanted here.
            assertEquals(done + batch, throwing.calls(), "deliveries to the throwing callback");
        }
        assertEquals(deliveries, behind.get(), "the callback registered after the throwing one");
        assertEquals(deliveries, uncaught.get(), "one uncaught exception per delivery, as its thread detached");
        assertEquals(0, other.get(), "no other exception reached a delivery thread");
        for (Thread t : throwing.threads()) {
            assertFalse(t.isAlive(), "a delivery thread is still attached: " + t);
        }
        assertEquals(liveBefore, THREADS.getThreadCount(), "live threads after the deliveries");
        assertSame(next, LCMPCommManager.getRegisteredCallBacks().get(1), "both stay registered");
    }
}
