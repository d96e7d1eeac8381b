package lcmptest;

import static lcmptest.Lcmp.SENDER;
import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.confirmation;
import static lcmptest.Lcmp.record;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * One-shot deliveries against a host whose LCMP_UnRegisterCallBack refuses (the variant host
 * refusing_unregistration): the refusal is reported on standard output and as an exception left
 * pending on the delivery thread, and the callback stays installed.
 */
class RefusingHostTest {
    private static final String REFUSED =
            "ERROR: Java UnRegisterCallBack was unable to unregister supplied one-shot Notify Callback object.";

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
    void removeEverythingPastTheHost() {
        Thread.setDefaultUncaughtExceptionHandler(null);
        while (LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(0)) {
            // the host cannot do it
        }
    }

    private static Recorder oneShot() throws LCMPException {
        Recorder r = new Recorder(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(r));
        assertFalse(LCMPCommManager.LCMP_UnRegisterCallBack(r), "this host refuses every unregistration");
        return r;
    }

    private static List<String> lines(String text) {
        return Arrays.asList(text.split("\n"));
    }

    @Test
    void aRefusedOneShotUnregistrationIsReportedAndTheCallbackStays() throws LCMPException {
        Recorder r = oneShot();
        byte[] message = confirmation(record(8, bytes(1)));
        TestHooks.Delivery d = TestHooks.deliver(SENDER, 359, message, 1, true);
        assertFalse(d.attachedAfter);
        assertEquals(1, r.calls());
        assertTrue(lines(d.stdout).contains("UNABLE TO UNREGISTER!"), d.stdout);
        assertEquals(1, uncaught.size());
        assertSame(LCMPException.class, uncaught.get(0).getClass());
        assertEquals(REFUSED, uncaught.get(0).getMessage());

        d = TestHooks.deliver(SENDER, 359, message, 1, true);
        assertEquals(2, r.calls(), "still installed, so called again");
        assertEquals(2, uncaught.size());
        assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(0));
        assertFalse(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(0));
    }

    @Test
    void theRefusalReplacesTheExceptionOfTheCallback() throws LCMPException {
        Recorder r = oneShot().then(response -> {
            throw new IllegalStateException("from the callback");
        });
        TestHooks.deliver(SENDER, 359, confirmation(record(8, bytes(1))), 1, false);
        assertEquals(1, r.calls());
        assertEquals(1, uncaught.size(), uncaught.toString());
        assertEquals(REFUSED, uncaught.get(0).getMessage());
    }
}
