package lcmptest;

import static lcmptest.Lcmp.SENDER;
import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.concat;
import static lcmptest.Lcmp.confirmation;
import static lcmptest.Lcmp.record;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Java callbacks fed by a real session: the library's receive thread captures frames injected on
 * the other end of a veth pair and delivers them. Runs inside a network namespace of its own
 * (netns_java.sh creates lcmp0 and lcmp1 there), as root.
 */
class WireTest {
    private static final String SESSION = "lcmp0";
    private static final String PEER = "lcmp1";
    private static byte[] own;

    @BeforeAll
    static void open() {
        Lcmp.bind();
        own = TestHooks.adapterAddress(SESSION);
        assertNotNull(own, "no adapter " + SESSION);
        assertEquals(0, TestHooks.sessionOpen(SESSION));
    }

    @AfterAll
    static void close() {
        TestHooks.sessionEnd();
    }

    @AfterEach
    void cleanUp() {
        Lcmp.unregisterAll();
    }

    /** An LCMP frame from SENDER to the session's adapter. */
    private static byte[] frame(int opcode, int lastSegment, int segment, int sequence, byte[] payload) {
        byte[] head = concat(own, SENDER, bytes(0x22, 0xE3),
                bytes(payload.length & 0xFF, ((payload.length >> 8) & 0x0F) | ((opcode & 0x0F) << 4),
                        (opcode >> 4) & 0xFF, 0, lastSegment | (segment << 4), sequence & 0xFF, sequence >> 8, 0));
        return concat(head, payload);
    }

    private static void inject(byte[] frame) {
        assertEquals(0, TestHooks.injectFrame(PEER, frame), "raw send on " + PEER);
    }

    private static void await(Recorder r, int calls) throws InterruptedException {
        for (int i = 0; i < 500 && r.calls() < calls; ++i) Thread.sleep(10);
        assertEquals(calls, r.calls());
    }

    @Test
    void unsegmentedAndSegmentedMessagesReachTheCallbackFromTheWire() throws Exception {
        Recorder r = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(r));
        byte[] message = confirmation(record(0, bytes(0x05, 0xF0, 0xF1)));
        inject(frame(0x161, 0, 0, 1, message));
        await(r, 1);
        LCMPResponse response = r.last();
        assertArrayEquals(SENDER, response.getDeviceAddress());
        HGF_PARAMETER_TLV p = Lcmp.parameter(response.getHGF_TLVs().get(0));
        assertEquals(5, p.getParamterType());
        assertArrayEquals(bytes(0xF0, 0xF1), p.getParameterValue());

        // the same message in two segments, the second one first: one delivery
        byte[] head = java.util.Arrays.copyOfRange(message, 0, 4);
        byte[] tail = java.util.Arrays.copyOfRange(message, 4, message.length);
        inject(frame(0x161, 1, 1, 2, tail));
        inject(frame(0x161, 1, 0, 2, head));
        await(r, 2);
        assertArrayEquals(bytes(0xF0, 0xF1), Lcmp.parameter(r.last().getHGF_TLVs().get(0)).getParameterValue());
        Thread.sleep(50);
        assertEquals(2, r.calls());
    }

    @Test
    void oneShotCallbackIsDeliveredOnceAndUnregistered() throws Exception {
        Recorder once = new Recorder(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(once));
        byte[] rsp = confirmation(record(8, bytes(0x01)));
        inject(frame(0x167, 0, 0, 3, rsp));
        await(once, 1);
        for (int i = 0; i < 200 && !LCMPCommManager.getRegisteredCallBacks().isEmpty(); ++i) Thread.sleep(10);
        assertTrue(LCMPCommManager.getRegisteredCallBacks().isEmpty());
        inject(frame(0x167, 0, 0, 4, rsp));
        Thread.sleep(100);
        assertEquals(1, once.calls());
    }
}
