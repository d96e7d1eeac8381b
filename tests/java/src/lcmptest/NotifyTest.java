package lcmptest;

import static lcmptest.Lcmp.DEVICE;
import static lcmptest.Lcmp.SENDER;
import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.confirmation;
import static lcmptest.Lcmp.notifyRecords;
import static lcmptest.Lcmp.record;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPAbstractCallBack;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_NOTIFY_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** The Notify subscription from Java: what is sent, the one-shot callback it registers, its failures. */
class NotifyTest {
    private static final String BUILD_FAILED =
            "Error generating TLVs to be sent via LCMPNotify. (ErrorId: LCMP_ERROR_MALLOC)";

    @BeforeAll
    static void bind() {
        Lcmp.bind();
    }

    @AfterEach
    void nothingStaysRegistered() {
        TestHooks.failAllocation(0);
        Lcmp.unregisterAll();
    }

    private static Recorder oneShot() {
        return new Recorder(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
    }

    private static ArrayList<HGF_NOTIFY_TLV> notifies(HGF_NOTIFY_TLV... items) {
        return new ArrayList<>(Arrays.asList(items));
    }

    private static void notify(ArrayList<HGF_NOTIFY_TLV> list, LCMPAbstractCallBack callBack) throws LCMPException {
        LCMPCommManager.LCMP_Notify_Wrapper((byte) 0, (byte) 0, list, DEVICE, (byte) 0, callBack);
    }

    @Test
    void theSubscriptionSendsOneType6RecordPerNotification() {
        HGF_NOTIFY_TLV three = new HGF_NOTIFY_TLV((byte) 3, bytes(0xDE, 0xAD, 0xBE, 0xEF));
        TestHooks.CopyOutcome sent = TestHooks.runCopy(TestHooks.NOTIFY, (byte) 0, notifies(three), DEVICE, oneShot());
        assertNull(sent.thrown);
        assertEquals(0, sent.composed[3], "flag 0");
        List<Lcmp.Rec> records = notifyRecords(sent.composed);
        assertEquals(1, records.size());
        assertEquals(6, records.get(0).type);
        assertArrayEquals(bytes(3, 0xDE, 0xAD, 0xBE, 0xEF), records.get(0).value);

        sent = TestHooks.runCopy(TestHooks.NOTIFY, (byte) 0,
                notifies(null, new HGF_NOTIFY_TLV((byte) 9, new byte[0]), null, three, null), DEVICE, oneShot());
        assertEquals("[6:[9], 6:[3, -34, -83, -66, -17]]", notifyRecords(sent.composed).toString(),
                "null elements are skipped");

        // A list without notifications still subscribes, with no records.
        sent = TestHooks.runCopy(TestHooks.NOTIFY, (byte) 0, notifies((HGF_NOTIFY_TLV) null), DEVICE, oneShot());
        assertNull(sent.thrown);
        assertEquals(0, notifyRecords(sent.composed).size());
    }

    @Test
    void theCallbackIsRegisteredThroughTheHostAsAOneShot() throws LCMPException {
        Recorder r = oneShot();
        notify(notifies(new HGF_NOTIFY_TLV((byte) 1, bytes(1))), r);
        assertEquals(Collections.singletonList(r), LCMPCommManager.getRegisteredCallBacks());
        byte[] message = confirmation(record(8, bytes(1, 0)));
        TestHooks.deliver(SENDER, 359, message, 2, false);
        assertEquals(1, r.calls());
        assertEquals(0, LCMPCommManager.getRegisteredCallBacks().size());
    }

    @Test
    void aRefusedRegistrationStopsTheSubscription() {
        LCMPAbstractCallBack unregistrable =
                new Recorder(HGF_TLV_Type.HGF_CONTROL_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        ArrayList<HGF_NOTIFY_TLV> list = notifies(new HGF_NOTIFY_TLV((byte) 1, bytes(1)));
        LCMPException e = assertThrows(LCMPException.class, () -> notify(list, unregistrable));
        assertSame(LCMPException.class, e.getClass());
        assertEquals("Driver Wrapper ERROR: Unable to install one-shot Java CallBack for Notify.", e.getMessage());
        TestHooks.CopyOutcome copy = TestHooks.runCopy(TestHooks.NOTIFY, (byte) 0, list, DEVICE, unregistrable);
        assertNull(copy.composed, "LCMPNotify was not called");
        assertEquals(e.getMessage(), copy.thrown.getMessage());

        // An exception of the registration itself reaches the caller instead.
        LCMPException own = assertThrows(LCMPException.class,
                () -> notify(list, new Recorder(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, null)));
        assertEquals("OPCODE Filter not found for the specified LCMPAbstractCallBack child class.", own.getMessage());
    }

    /**
     * Each allocation of a subscription fails in turn: building the request (nothing is
     * registered), composing or recording the subscription (-14) and installing it (-21), where
     * the callback stays registered.
     */
    @Test
    void everyFailureOfTheSubscriptionIsReported() throws LCMPException {
        ArrayList<HGF_NOTIFY_TLV> list = notifies(new HGF_NOTIFY_TLV((byte) 3, bytes(1, 2, 3, 4)));
        TestHooks.runCopy(TestHooks.NOTIFY, (byte) 0, list, DEVICE, oneShot());  // the copy's registry exists now
        Lcmp.unregisterAll();
        TestHooks.failAllocation(0);
        assertNull(TestHooks.runCopy(TestHooks.NOTIFY, (byte) 0, list, DEVICE, oneShot()).thrown);
        int allocations = TestHooks.allocationCount();
        Lcmp.unregisterAll();
        Set<String> seen = new HashSet<>();
        for (int k = 1; k <= allocations; k++) {
            Recorder r = oneShot();
            TestHooks.failAllocation(k);
            TestHooks.CopyOutcome failed = TestHooks.runCopy(TestHooks.NOTIFY, (byte) 0, list, DEVICE, r);
            TestHooks.failAllocation(0);
            String message = failed.thrown.getMessage();
            seen.add(message);
            if (message.equals(BUILD_FAILED)) {
                assertNull(failed.composed);
                assertEquals(0, LCMPCommManager.getRegisteredCallBacks().size(), "allocation " + k);
            } else {
                assertTrue(message.equals("Error on LCMPNotify. (ErrorId: LCMP_ERROR_MALLOC)")
                        || message.equals("Error on LCMPNotify. (ErrorId: LCMP_ERROR_CALLBACK)"), message);
                assertEquals(Collections.singletonList(r), LCMPCommManager.getRegisteredCallBacks(),
                        "allocation " + k + ": the callback stays registered");
                Lcmp.unregisterAll();
            }
        }
        assertEquals(3, seen.size(), seen.toString());
    }

    @Test
    void tenThousandNotificationsAreSent() throws LCMPException {
        ArrayList<HGF_NOTIFY_TLV> list = new ArrayList<>();
        for (int i = 0; i < 10_000; i++) {
            list.add(new HGF_NOTIFY_TLV((byte) i, bytes(i >> 8, 0x42)));
        }
        notify(list, oneShot());
        TestHooks.CopyOutcome sent = TestHooks.runCopy(TestHooks.NOTIFY, (byte) 0, list, DEVICE, oneShot());
        List<Lcmp.Rec> records = notifyRecords(sent.composed);
        assertEquals(10_000, records.size());
        assertArrayEquals(bytes(9_999, 9_999 >> 8, 0x42), records.get(9_999).value);
    }
}
