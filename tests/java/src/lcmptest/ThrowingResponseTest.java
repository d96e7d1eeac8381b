package lcmptest;

import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.confirmation;
import static lcmptest.Lcmp.record;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_READ_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Responses whose Java side throws while they are built (the variant host throwing_response):
 * the exception reaches the caller, or stays on the delivery thread, and no callback is called.
 */
class ThrowingResponseTest {
    private static final byte[] REFUSED = {(byte) 0xDD, 0, 0, 0, 0, 1};
    private static final byte[] NO_TLVS = {(byte) 0xEE, 0, 0, 0, 0, 1};

    private final List<Throwable> uncaught = Collections.synchronizedList(new ArrayList<>());
    private Recorder reads;
    private Recorder writes;

    @BeforeAll
    static void bind() {
        Lcmp.bind();
    }

    @BeforeEach
    void registerAndCollect() throws LCMPException {
        Thread.setDefaultUncaughtExceptionHandler((t, e) -> uncaught.add(e));
        reads = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        writes = new Recorder(HGF_TLV_Type.HGF_WRITE_PARAMETER_CONFIRM, LCMP_OPCODE_Type.LCMP_WRITE_CNF);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(reads));
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(writes));
    }

    @AfterEach
    void nothingStaysRegistered() {
        Thread.setDefaultUncaughtExceptionHandler(null);
        Lcmp.unregisterAll();
    }

    private static void assertRefused(String message, org.junit.jupiter.api.function.Executable call) {
        assertEquals(message, assertThrows(IllegalStateException.class, call).getMessage());
    }

    @Test
    void aRequestWhoseResponseThrowsCallsNobody() {
        ArrayList<HGF_READ_PARAMETER_TLV> toRead = new ArrayList<>();
        toRead.add(new HGF_READ_PARAMETER_TLV((byte) 1));
        toRead.add(new HGF_READ_PARAMETER_TLV((byte) 2));
        ArrayList<HGF_PARAMETER_TLV> toWrite = new ArrayList<>();
        toWrite.add(new HGF_PARAMETER_TLV((byte) 1, bytes(1)));
        for (byte[] address : new byte[][] {REFUSED, NO_TLVS}) {
            String message = address == REFUSED ? "response refused" : "TLV refused";
            assertRefused(message, () -> LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, toRead, address));
            assertRefused(message, () -> LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0, toWrite, address));
        }
        assertEquals(0, reads.calls());
        assertEquals(0, writes.calls());
    }

    @Test
    void aDeliveryWhoseResponseThrowsCallsNobody() throws LCMPException {
        Recorder oneShot = new Recorder(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(oneShot));
        TestHooks.deliver(REFUSED, 353, confirmation(record(0, bytes(1, 2))), 1, false);
        TestHooks.deliver(NO_TLVS, 353, confirmation(record(0, bytes(1, 2))), 1, false);
        TestHooks.deliver(REFUSED, 359, confirmation(record(8, bytes(1))), 1, false);
        assertEquals(0, reads.calls());
        assertEquals(0, oneShot.calls());
        assertEquals(3, LCMPCommManager.getRegisteredCallBacks().size(), "the one-shot was never delivered");
        assertEquals(3, uncaught.size(), uncaught.toString());
        assertEquals("response refused", uncaught.get(0).getMessage());
        assertEquals("TLV refused", uncaught.get(1).getMessage());
    }
}
