package lcmptest;

import static lcmptest.Lcmp.DEVICE;
import static lcmptest.Lcmp.SENDER;
import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.confirmation;
import static lcmptest.Lcmp.record;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_NOTIFY_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_READ_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import java.lang.ref.WeakReference;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Registration and unregistration of Java callback objects: which filters are accepted and
 * what they install, positions, and the calls that reads and writes make to registered callbacks.
 */
class CallbackRegistrationTest {
    @BeforeAll
    static void bind() {
        Lcmp.bind();
    }

    @AfterEach
    void nothingStaysRegistered() {
        Lcmp.unregisterAll();
    }

    private static LCMPResponse read() throws LCMPException {
        return LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0,
                new ArrayList<>(Collections.singletonList(new HGF_READ_PARAMETER_TLV((byte) 4))), DEVICE);
    }

    private static LCMPResponse write() throws LCMPException {
        return LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0,
                new ArrayList<>(Collections.singletonList(new HGF_PARAMETER_TLV((byte) 4, bytes(1)))), DEVICE);
    }

    private static void control() {
        assertThrows(LCMPException.class, () -> LCMPCommManager.LCMP_Control_Wrapper((byte) 0, (byte) 0,
                new ArrayList<>(Collections.singletonList(new HGF_PARAMETER_TLV((byte) 4, bytes(1)))), DEVICE));
    }

    private static Recorder register(HGF_TLV_Type tlv, LCMP_OPCODE_Type opcode) throws LCMPException {
        Recorder r = new Recorder(tlv, opcode);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(r), tlv + "/" + opcode);
        return r;
    }

    // ---- Filters ----

    @Test
    void filtersWithoutARecordTypeOrOpcodeAreNotRegistrable() throws LCMPException {
        for (HGF_TLV_Type tlv : new HGF_TLV_Type[] {HGF_TLV_Type.HGF_CONTROL_CONFIRM, HGF_TLV_Type.HGF_READ_PARAMETER,
                HGF_TLV_Type.HGF_NOTIFY}) {
            assertFalse(LCMPCommManager.LCMP_RegisterCallBack_Wrapper(new Recorder(tlv, LCMP_OPCODE_Type.LCMP_READ_CNF)),
                    tlv.toString());
        }
        for (LCMP_OPCODE_Type opcode : new LCMP_OPCODE_Type[] {LCMP_OPCODE_Type.LCMP_CONTROL_REQ,
                LCMP_OPCODE_Type.LCMP_CONTROL_CNF, LCMP_OPCODE_Type.LCMP_NOTIFY_IND}) {
            assertFalse(LCMPCommManager.LCMP_RegisterCallBack_Wrapper(new Recorder(HGF_TLV_Type.HGF_PARAMETER, opcode)),
                    opcode.toString());
        }
        assertFalse(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(0), "nothing was installed");
    }

    @Test
    void nullFiltersAreRefusedWithTheirMessages() {
        LCMPException e = assertThrows(LCMPException.class, () -> LCMPCommManager.LCMP_RegisterCallBack(
                new Recorder(null, LCMP_OPCODE_Type.LCMP_READ_CNF)));
        assertEquals("TLV Type Filter not found for the specified LCMPAbstractCallBack child class.", e.getMessage());
        e = assertThrows(LCMPException.class, () -> LCMPCommManager.LCMP_RegisterCallBack(
                new Recorder(HGF_TLV_Type.HGF_PARAMETER, null)));
        assertEquals("OPCODE Filter not found for the specified LCMPAbstractCallBack child class.", e.getMessage());
        assertFalse(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(0), "nothing was installed");
    }

    @Test
    void eachOpcodeFilterListensToItsOwnOpcode() throws LCMPException {
        LCMP_OPCODE_Type[] filters = {LCMP_OPCODE_Type.LCMP_READ_REQ, LCMP_OPCODE_Type.LCMP_READ_CNF,
                LCMP_OPCODE_Type.LCMP_WRITE_REQ, LCMP_OPCODE_Type.LCMP_WRITE_CNF, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP};
        int[] opcodes = {352, 353, 354, 355, 359};
        Recorder[] recorders = new Recorder[filters.length];
        for (int i = 0; i < filters.length; i++) {
            recorders[i] = register(HGF_TLV_Type.HGF_PARAMETER, filters[i]);
        }
        byte[] parameter = record(0, bytes(9, 1));
        for (int i = 0; i < opcodes.length; i++) {
            boolean request = opcodes[i] % 2 == 0;
            TestHooks.deliver(SENDER, opcodes[i], request ? Lcmp.request(parameter) : confirmation(parameter), 1, false);
            for (int j = 0; j < recorders.length; j++) {
                assertEquals(j <= i ? 1 : 0, recorders[j].calls(), "opcode " + opcodes[i] + ", filter " + filters[j]);
            }
        }
        TestHooks.deliver(SENDER, 357, confirmation(parameter), 1, false);
        for (Recorder r : recorders) {
            assertEquals(1, r.calls(), "nobody listens to 357");
        }
    }

    @Test
    void eachRecordTypeFilterReceivesItsOwnRecords() throws LCMPException {
        Recorder parameters = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        Recorder confirms = register(HGF_TLV_Type.HGF_WRITE_PARAMETER_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        Recorder notifyConfirms = register(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        TestHooks.deliver(SENDER, 359,
                confirmation(record(8, bytes(1)), record(1, bytes(2, 7, 9)), record(0, bytes(5, 0xAB))), 1, false);

        assertEquals(1, parameters.calls());
        assertEquals(1, parameters.last().getHGF_TLVs().size());
        Lcmp.parameter(parameters.last().getHGF_TLVs().get(0));
        assertEquals(1, confirms.calls());
        assertSame(HGF_TLV_Type.HGF_WRITE_PARAMETER_CONFIRM,
                Lcmp.confirm(confirms.last().getHGF_TLVs().get(0)).getHGF_TLV_Type());
        assertEquals(1, notifyConfirms.calls());
        assertEquals(0, notifyConfirms.last().getHGF_TLVs().size(), "notify confirmations convert to no TLV");
        assertEquals(Arrays.asList(parameters, confirms), LCMPCommManager.getRegisteredCallBacks(),
                "the notify confirmation callback was one-shot");
    }

    // ---- Positions ----

    @Test
    void positionsNameJavaCallbacksInRegistrationOrder() throws LCMPException {
        // Straight through the native methods: the host's bookkeeping is not involved.
        Recorder a = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        Recorder b = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack_Wrapper(a));
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack_Wrapper(a));
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack_Wrapper(b));
        read();
        assertEquals(2, a.calls(), "registered twice, called twice");
        assertEquals(1, b.calls());

        assertFalse(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(3), "position = number of Java callbacks");
        assertFalse(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(-1));
        assertFalse(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(Integer.MIN_VALUE));
        assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(0));
        read();
        assertEquals(3, a.calls(), "one registration of a is left");
        assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(1), "b is now at position 1");
        read();
        assertEquals(4, a.calls());
        assertEquals(2, b.calls());
        assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(0));
        assertFalse(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(0));
        read();
        assertEquals(4, a.calls());
    }

    @Test
    void theNotifySubscriptionTakesNoPosition() throws LCMPException {
        Recorder a = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        Recorder oneShot = new Recorder(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        LCMPCommManager.LCMP_Notify_Wrapper((byte) 1, (byte) 0,
                new ArrayList<>(Collections.singletonList(new HGF_NOTIFY_TLV((byte) 3, bytes(1, 2, 3, 4)))), DEVICE,
                (byte) 0, oneShot);
        Recorder c = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        // Registry: a, oneShot, the engine's subscription, c. The host removes c by position 2.
        assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack(c));
        read();
        assertEquals(1, a.calls());
        assertEquals(0, c.calls());
        assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack(oneShot));
        read();
        assertEquals(2, a.calls());
    }

    // ---- Calls from reads and writes ----

    @Test
    void readsAndWritesCallTheCallbacksOfTheirRecordType() throws LCMPException {
        // The opcode filter plays no part here.
        Recorder parameters = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_WRITE_REQ);
        Recorder confirms = register(HGF_TLV_Type.HGF_WRITE_PARAMETER_CONFIRM, LCMP_OPCODE_Type.LCMP_READ_REQ);
        Recorder notifyConfirms = register(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_READ_CNF);

        LCMPResponse r = read();
        assertEquals(1, parameters.calls());
        assertSame(r, parameters.last(), "the callback gets the very response the read returns");
        assertSame(Thread.currentThread(), parameters.threads().get(0), "on the caller's thread");
        assertEquals(0, confirms.calls());

        LCMPResponse w = write();
        assertEquals(1, confirms.calls());
        assertSame(w, confirms.last());
        assertEquals(1, parameters.calls());

        control();
        assertThrows(LCMPException.class, () -> LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0,
                new ArrayList<>(), DEVICE));
        assertThrows(LCMPException.class, () -> LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0,
                new ArrayList<>(Collections.singletonList(null)), DEVICE));
        assertEquals(1, parameters.calls(), "failed requests and control call nobody");
        assertEquals(1, confirms.calls());
        assertEquals(0, notifyConfirms.calls(), "reads and writes never call notify confirmation callbacks");
    }

    @Test
    void aCallbackThatThrowsEndsTheWalkAndItsExceptionReachesTheCaller() throws LCMPException {
        IllegalArgumentException thrown = new IllegalArgumentException("from a callback");
        Recorder first = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF).then(r -> {
            throw thrown;
        });
        Recorder second = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        assertSame(thrown, assertThrows(IllegalArgumentException.class, CallbackRegistrationTest::read));
        assertEquals(1, first.calls());
        assertEquals(0, second.calls());
        first.then(r -> { });
        read();
        assertEquals(2, first.calls(), "it stays registered");
        assertEquals(1, second.calls());
    }

    @Test
    void callbacksMayChangeTheRegistryDuringTheWalk() throws LCMPException {
        Recorder[] added = new Recorder[1];
        Recorder neighbour = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        Recorder self = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        self.then(r -> {
            assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack(self));
            assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack(neighbour));
            added[0] = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
            try {
                assertTrue(LCMPCommManager.LCMP_RegisterCallBack(added[0]));
            } catch (LCMPException e) {
                throw new AssertionError(e);
            }
        });
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(self));
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(neighbour));
        read();
        assertEquals(1, self.calls());
        assertEquals(0, neighbour.calls(), "removed before its turn");
        assertEquals(0, added[0].calls(), "installed during the walk: waits for the next one");
        read();
        assertEquals(1, self.calls());
        assertEquals(1, added[0].calls());
    }

    @Test
    void aCCallbackWithAnOwnerWordOfItsOwnIsNotTakenForAJavaCallback() throws LCMPException {
        Recorder java = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        // Installed after the Java callback, as a C host sharing the library would.
        long handle = TestHooks.installNativeCallback(353, 0, 0x5A5A5A5AL);
        assertTrue(handle != 0);
        try {
            read();
            write();
            TestHooks.deliver(SENDER, 353, confirmation(record(0, bytes(1, 2))), 1, false);
        } finally {
            assertEquals(1, TestHooks.uninstallNativeCallback(handle), "the C callback got the delivery");
        }
        assertEquals(2, java.calls());
    }

    @Test
    void aCCallbackWithAnOwnerWordInstalledBeforeAJavaCallbackTakesNoPosition() throws LCMPException {
        long handle = TestHooks.installNativeCallback(353, 0, 0x1234L);
        assertTrue(handle != 0);
        Recorder java = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack(java));
        TestHooks.deliver(SENDER, 353, confirmation(record(0, bytes(1, 2))), 1, false);
        assertEquals(0, java.calls(), "the Java callback was removed");
        // Its CallbackData is destroyed here: once only.
        assertEquals(1, TestHooks.uninstallNativeCallback(handle), "the C callback stayed");
    }

    @Test
    void aCollectedCallbackObjectIsPassedOver() throws LCMPException {
        // Registered past the host, which would keep the object reachable.
        WeakReference<Recorder> gone = registerUnreachable();
        for (int i = 0; i < 50 && gone.get() != null; i++) {
            System.gc();
        }
        assertNull(gone.get(), "the callback object was collected");
        Recorder alive = register(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        read();
        TestHooks.deliver(SENDER, 353, confirmation(record(0, bytes(1, 2))), 1, false);
        assertEquals(2, alive.calls());
        assertTrue(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(0), "the entry of the collected object");
        assertEquals(Collections.singletonList(alive), LCMPCommManager.getRegisteredCallBacks());
    }

    private static WeakReference<Recorder> registerUnreachable() throws LCMPException {
        Recorder r = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack_Wrapper(r));
        return new WeakReference<>(r);
    }
}
