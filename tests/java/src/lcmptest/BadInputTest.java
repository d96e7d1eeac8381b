package lcmptest;

import static lcmptest.Lcmp.DEVICE;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPAbstractCallBack;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_NOTIFY_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_READ_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * Arguments that break the wrappers' assumptions: each one is refused with an LCMPException of
 * code -13 before the engine is called, and a Java getter that throws reaches the caller
 * unchanged. The copy of the library shows that nothing was composed.
 */
class BadInputTest {
    private static final String BAD_ARGS = " (ErrorId: LCMP_ERROR_BAD_ARGS)";
    private static final String[] NAMES = {"LCMPRead", "LCMPWrite", "LCMPControl", "LCMPNotify"};

    @BeforeAll
    static void bind() {
        Lcmp.bind();
    }

    @AfterEach
    void nothingStaysRegistered() {
        Lcmp.unregisterAll();
    }

    private static final Recorder ONE_SHOT =
            new Recorder(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);

    /** Calls liblcmp's wrapper (read, write, control or notify, as TestHooks numbers them). */
    private static Object call(int wrapper, ArrayList<?> list, byte[] address, LCMPAbstractCallBack callBack)
            throws LCMPException {
        @SuppressWarnings("unchecked")
        ArrayList<HGF_READ_PARAMETER_TLV> reads = (ArrayList<HGF_READ_PARAMETER_TLV>) list;
        @SuppressWarnings("unchecked")
        ArrayList<HGF_PARAMETER_TLV> params = (ArrayList<HGF_PARAMETER_TLV>) list;
        @SuppressWarnings("unchecked")
        ArrayList<HGF_NOTIFY_TLV> notifies = (ArrayList<HGF_NOTIFY_TLV>) list;
        switch (wrapper) {
            case TestHooks.READ:
                return LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, reads, address);
            case TestHooks.WRITE:
                return LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0, params, address);
            case TestHooks.CONTROL:
                return LCMPCommManager.LCMP_Control_Wrapper((byte) 0, (byte) 0, params, address);
            default:
                LCMPCommManager.LCMP_Notify_Wrapper((byte) 0, (byte) 0, notifies, address, (byte) 0, callBack);
                return null;
        }
    }

    private static ArrayList<Object> listOf(Object... items) {
        return new ArrayList<>(Arrays.asList(items));
    }

    /** A well-formed element for each wrapper. */
    private static Object good(int wrapper) {
        switch (wrapper) {
            case TestHooks.READ:
                return new HGF_READ_PARAMETER_TLV((byte) 1);
            case TestHooks.NOTIFY:
                return new HGF_NOTIFY_TLV((byte) 1, new byte[] {1});
            default:
                return new HGF_PARAMETER_TLV((byte) 1, new byte[] {1});
        }
    }

    static Stream<Arguments> refused() {
        Stream.Builder<Arguments> cases = Stream.builder();
        String[] elementClass = {"HGF_READ_PARAMETER_TLV", "HGF_PARAMETER_TLV", "HGF_PARAMETER_TLV",
                "HGF_NOTIFY_TLV"};
        for (int w = TestHooks.READ; w <= TestHooks.NOTIFY; w++) {
            String name = NAMES[w];
            String address = "Error on " + name + ": the device address must be an array of 6 bytes.";
            cases.add(Arguments.of(name + " null list", w, null, DEVICE,
                    "Error on " + name + ": the list of " + elementClass[w] + "s is null."));
            cases.add(Arguments.of(name + " null address", w, listOf(good(w)), null, address));
            cases.add(Arguments.of(name + " 5-byte address", w, listOf(good(w)), new byte[5], address));
            cases.add(Arguments.of(name + " empty address", w, listOf(good(w)), new byte[0], address));
            String wrongClass = "Error on " + name + ": a list element is not an " + elementClass[w] + ".";
            Object stranger = w == TestHooks.READ ? new HGF_PARAMETER_TLV((byte) 1, new byte[0])
                    : w == TestHooks.NOTIFY ? "a string" : new HGF_READ_PARAMETER_TLV((byte) 1);
            cases.add(Arguments.of(name + " element of another class after good ones", w,
                    listOf(good(w), good(w), stranger), DEVICE, wrongClass));
        }
        for (int w = TestHooks.WRITE; w <= TestHooks.CONTROL; w++) {
            cases.add(Arguments.of(NAMES[w] + " null value", w,
                    listOf(good(w), new HGF_PARAMETER_TLV((byte) 2, null)), DEVICE,
                    "Error on " + NAMES[w] + ": getParameterValue() returned null."));
        }
        cases.add(Arguments.of("LCMPNotify null value", TestHooks.NOTIFY,
                listOf(good(TestHooks.NOTIFY), new HGF_NOTIFY_TLV((byte) 2, null)), DEVICE,
                "Error on LCMPNotify: getNotifyValue() returned null."));
        // With its ID byte, a longer value has a length that 16 bits cannot describe.
        for (int w = TestHooks.WRITE; w <= TestHooks.CONTROL; w++) {
            int length = w == TestHooks.WRITE ? 65535 : 70000;
            cases.add(Arguments.of(NAMES[w] + " value of " + length + " bytes", w,
                    listOf(good(w), new HGF_PARAMETER_TLV((byte) 2, new byte[length])), DEVICE,
                    "Error on " + NAMES[w] + ": getParameterValue() returned more than 65534 bytes."));
        }
        cases.add(Arguments.of("LCMPNotify value of 70000 bytes", TestHooks.NOTIFY,
                listOf(good(TestHooks.NOTIFY), new HGF_NOTIFY_TLV((byte) 2, new byte[70000])), DEVICE,
                "Error on LCMPNotify: getNotifyValue() returned more than 65534 bytes."));
        return cases.build();
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("refused")
    void badArgumentsAreRefusedBeforeTheEngine(String name, int wrapper, ArrayList<?> list, byte[] address,
            String message) {
        LCMPException e = assertThrows(LCMPException.class, () -> call(wrapper, list, address, ONE_SHOT));
        assertSame(LCMPException.class, e.getClass());
        assertEquals(message + BAD_ARGS, e.getMessage());

        TestHooks.CopyOutcome copy = TestHooks.runCopy(wrapper, (byte) 0, list, address, ONE_SHOT);
        assertNull(copy.composed, "the engine composed nothing");
        assertNull(copy.response);
        assertEquals(e.getMessage(), copy.thrown.getMessage());
        assertEquals(0, LCMPCommManager.getRegisteredCallBacks().size(), "no callback was registered");
    }

    @Test
    void aNullCallbackObjectIsRefused() {
        LCMPException e = assertThrows(LCMPException.class, () -> LCMPCommManager.LCMP_RegisterCallBack(null));
        assertEquals("Error on LCMP_RegisterCallBack: the callback object is null." + BAD_ARGS, e.getMessage());
        e = assertThrows(LCMPException.class, () -> LCMPCommManager.LCMP_RegisterCallBack_Wrapper(null));
        assertEquals("Error on LCMP_RegisterCallBack: the callback object is null." + BAD_ARGS, e.getMessage());

        ArrayList<Object> list = listOf(good(TestHooks.NOTIFY));
        e = assertThrows(LCMPException.class, () -> call(TestHooks.NOTIFY, list, DEVICE, null));
        assertEquals("Error on LCMPNotify: the callback object is null." + BAD_ARGS, e.getMessage());
        TestHooks.CopyOutcome copy = TestHooks.runCopy(TestHooks.NOTIFY, (byte) 0, list, DEVICE, null);
        assertNull(copy.composed);
        assertEquals(e.getMessage(), copy.thrown.getMessage());
        assertEquals(0, LCMPCommManager.getRegisteredCallBacks().size());
    }

    // ---- Java code that throws ----

    private static final IllegalStateException BROKEN = new IllegalStateException("broken getter");

    private static final class BrokenRead extends HGF_READ_PARAMETER_TLV {
        BrokenRead() {
            super((byte) 1);
        }

        @Override
        public byte getParameterID() {
            throw BROKEN;
        }
    }

    private static final class BrokenType extends HGF_PARAMETER_TLV {
        BrokenType() {
            super((byte) 1, new byte[1]);
        }

        @Override
        public byte getParamterType() {
            throw BROKEN;
        }
    }

    private static final class BrokenValue extends HGF_PARAMETER_TLV {
        BrokenValue() {
            super((byte) 1, new byte[1]);
        }

        @Override
        public byte[] getParameterValue() {
            throw BROKEN;
        }
    }

    private static final class BrokenNotifyType extends HGF_NOTIFY_TLV {
        BrokenNotifyType() {
            super((byte) 1, new byte[1]);
        }

        @Override
        public byte getNotifyType() {
            throw BROKEN;
        }
    }

    private static final class BrokenNotifyValue extends HGF_NOTIFY_TLV {
        BrokenNotifyValue() {
            super((byte) 1, new byte[1]);
        }

        @Override
        public byte[] getNotifyValue() {
            throw BROKEN;
        }
    }

    /** A list whose get fails at one index, or whose size fails (index -1). */
    private static final class BrokenList extends ArrayList<Object> {
        private static final long serialVersionUID = 1L;
        private final int failAt;

        BrokenList(int failAt, Object... items) {
            super(Arrays.asList(items));
            this.failAt = failAt;
        }

        @Override
        public int size() {
            if (failAt < 0) {
                throw BROKEN;
            }
            return super.size();
        }

        @Override
        public Object get(int index) {
            if (index == failAt) {
                throw BROKEN;
            }
            return super.get(index);
        }
    }

    static Stream<Arguments> throwing() {
        Stream.Builder<Arguments> cases = Stream.builder();
        cases.add(Arguments.of("getParameterID", TestHooks.READ, listOf(good(0), new BrokenRead())));
        for (int w = TestHooks.WRITE; w <= TestHooks.CONTROL; w++) {
            cases.add(Arguments.of(NAMES[w] + " getParamterType", w, listOf(good(w), new BrokenType())));
            cases.add(Arguments.of(NAMES[w] + " getParameterValue", w, listOf(good(w), new BrokenValue())));
        }
        cases.add(Arguments.of("getNotifyType", TestHooks.NOTIFY, listOf(good(3), new BrokenNotifyType())));
        cases.add(Arguments.of("getNotifyValue", TestHooks.NOTIFY, listOf(good(3), new BrokenNotifyValue())));
        for (int w = TestHooks.READ; w <= TestHooks.NOTIFY; w++) {
            cases.add(Arguments.of(NAMES[w] + " size", w, new BrokenList(-1, good(w))));
            cases.add(Arguments.of(NAMES[w] + " get", w, new BrokenList(1, good(w), good(w), good(w))));
        }
        return cases.build();
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("throwing")
    void aThrowingGetterStopsTheCallAndReachesTheCaller(String name, int wrapper, ArrayList<?> list) {
        IllegalStateException e = assertThrows(IllegalStateException.class, () -> call(wrapper, list, DEVICE, ONE_SHOT));
        assertSame(BROKEN, e);
        TestHooks.CopyOutcome copy = TestHooks.runCopy(wrapper, (byte) 0, list, DEVICE, ONE_SHOT);
        assertNull(copy.composed, "the engine composed nothing");
        assertSame(BROKEN, copy.thrown);
        assertEquals(0, LCMPCommManager.getRegisteredCallBacks().size(), "no callback was registered");
    }

    @Test
    void aThrowingFilterGetterReachesTheCallerOfRegistration() {
        LCMPAbstractCallBack broken = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF) {
            @Override
            public LCMP_OPCODE_Type getFilterLCMP_OPCODE_Type() {
                throw BROKEN;
            }
        };
        assertSame(BROKEN, assertThrows(IllegalStateException.class, () -> LCMPCommManager.LCMP_RegisterCallBack(broken)));
        assertFalse(LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(0), "nothing was installed");
    }
}
