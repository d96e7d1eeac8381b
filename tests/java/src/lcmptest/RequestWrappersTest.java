package lcmptest;

import static lcmptest.Lcmp.DEVICE;
import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.confirm;
import static lcmptest.Lcmp.parameter;
import static lcmptest.Lcmp.requestRecords;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_CONFIRM;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_READ_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPTimeOutException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Read, write and control from Java: what reaches the engine (watched on the test copy), the
 * responses and exceptions that come back, and what happens when memory runs out.
 */
class RequestWrappersTest {
    @BeforeAll
    static void bind() {
        Lcmp.bind();
    }

    @AfterEach
    void allocationsSucceedAgain() {
        TestHooks.failAllocation(0);
    }

    private static ArrayList<HGF_READ_PARAMETER_TLV> reads(Integer... ids) {
        ArrayList<HGF_READ_PARAMETER_TLV> list = new ArrayList<>();
        for (Integer id : ids) {
            list.add(id == null ? null : new HGF_READ_PARAMETER_TLV(id.byteValue()));
        }
        return list;
    }

    private static HGF_PARAMETER_TLV param(int id, int... value) {
        return new HGF_PARAMETER_TLV((byte) id, bytes(value));
    }

    @SafeVarargs
    private static <T> ArrayList<T> listOf(T... items) {
        ArrayList<T> list = new ArrayList<>();
        for (T item : items) {
            list.add(item);
        }
        return list;
    }

    private static void assertParameter(HGF_TLV tlv, int id, byte[] value) {
        HGF_PARAMETER_TLV p = parameter(tlv);
        assertEquals((byte) id, p.getParamterType());
        assertArrayEquals(value, p.getParameterValue());
    }

    // ---- Read ----

    @Test
    void aReadSendsOneType2RecordPerParameterAndReturnsTheGeneratedValues() throws LCMPException {
        TestHooks.CopyOutcome sent = TestHooks.runCopy(TestHooks.READ, (byte) 0, reads(5, 6, 7), DEVICE, null);
        assertNull(sent.thrown);
        List<Lcmp.Rec> records = requestRecords(sent.composed);
        assertEquals("[2:[5], 2:[6], 2:[7]]", records.toString());

        LCMPResponse response = LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, reads(5, 6, 7), DEVICE);
        assertSame(DEVICE, response.getDeviceAddress(), "the response carries the caller's array itself");
        List<HGF_TLV> tlvs = response.getHGF_TLVs();
        assertEquals(3, tlvs.size());
        assertParameter(tlvs.get(0), 5, bytes(0xF0, 0xF1));
        assertParameter(tlvs.get(1), 6, bytes(0xF2, 0xF3));
        assertParameter(tlvs.get(2), 7, bytes(0xF4, 0xF5));
    }

    @Test
    void nullElementsOfAReadAreSkipped() throws LCMPException {
        TestHooks.CopyOutcome sent =
                TestHooks.runCopy(TestHooks.READ, (byte) 0, reads(null, 9, null, null, 3, null), DEVICE, null);
        assertEquals("[2:[9], 2:[3]]", requestRecords(sent.composed).toString());
        LCMPResponse response = LCMPCommManager.LCMP_Read_Wrapper((byte) 2, (byte) 0, reads(null, 9, null, 3), DEVICE);
        assertEquals(2, response.getHGF_TLVs().size());
        assertParameter(response.getHGF_TLVs().get(0), 9, bytes(0xF0, 0xF1));
        assertParameter(response.getHGF_TLVs().get(1), 3, bytes(0xF2, 0xF3));
    }

    @Test
    void aReadOfNothingEndsInATimeout() {
        for (ArrayList<HGF_READ_PARAMETER_TLV> nothing : Arrays.asList(reads(), reads(null, null))) {
            LCMPException e = assertThrows(LCMPException.class,
                    () -> LCMPCommManager.LCMP_Read_Wrapper((byte) 1, (byte) 0, nothing, DEVICE));
            assertSame(LCMPTimeOutException.class, e.getClass());
            assertEquals("Error on LCMPRead (No TLVs received). (ErrorId: LCMP_ERROR_TIMEOUT)", e.getMessage());
        }
    }

    // ---- Write ----

    @Test
    void aWriteSendsTheIdThenTheValue() {
        byte[] ten = bytes(1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
        TestHooks.CopyOutcome sent = TestHooks.runCopy(TestHooks.WRITE, (byte) 0,
                listOf(param(4), new HGF_PARAMETER_TLV((byte) 0x81, ten)), DEVICE, null);
        assertNull(sent.thrown);
        List<Lcmp.Rec> records = requestRecords(sent.composed);
        assertEquals(2, records.size());
        assertEquals(0, records.get(0).type);
        assertArrayEquals(bytes(4), records.get(0).value, "an empty value gives an entry of length 1");
        assertArrayEquals(Lcmp.concat(bytes(0x81), ten), records.get(1).value, "10 value bytes give length 11");
    }

    @Test
    void aWriteReturnsOneConfirmOfTheWrittenIds() throws LCMPException {
        LCMPResponse response =
                LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0, listOf(param(7, 1), param(9, 2, 3)), DEVICE);
        assertSame(DEVICE, response.getDeviceAddress());
        assertEquals(1, response.getHGF_TLVs().size());
        HGF_CONFIRM c = confirm(response.getHGF_TLVs().get(0));
        assertSame(HGF_TLV_Type.HGF_WRITE_PARAMETER_CONFIRM, c.getHGF_TLV_Type());
        assertEquals(1, c.getParameters().size());
        assertArrayEquals(bytes(7, 9), c.getParameters().get(0));

        LCMPResponse empty = LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0, new ArrayList<>(), DEVICE);
        HGF_CONFIRM none = confirm(empty.getHGF_TLVs().get(0));
        assertEquals(1, none.getParameters().size());
        assertArrayEquals(new byte[0], none.getParameters().get(0), "an empty write confirms no ID");
    }

    @Test
    void aNullElementEndsAWriteBeforeTheEngine() {
        ArrayList<HGF_PARAMETER_TLV> list = listOf(param(1, 1), null, param(2, 2));
        LCMPException e = assertThrows(LCMPException.class,
                () -> LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0, list, DEVICE));
        assertSame(LCMPException.class, e.getClass());
        assertEquals("Error on LCMPWrite: Unable to recovered a HGF_PARAMETER_TLVs instance sent.", e.getMessage());
        TestHooks.CopyOutcome sent = TestHooks.runCopy(TestHooks.WRITE, (byte) 0, list, DEVICE, null);
        assertNull(sent.composed, "nothing is sent");
        assertEquals(e.getMessage(), sent.thrown.getMessage());
    }

    // ---- Control ----

    @Test
    void aControlSendsType3RecordsAndEndsInATimeout() {
        ArrayList<HGF_PARAMETER_TLV> list = listOf(null, param(0x20, 0xAA, 0xBB), null, param(0x21));
        TestHooks.CopyOutcome sent = TestHooks.runCopy(TestHooks.CONTROL, (byte) 0, list, DEVICE, null);
        assertEquals("[3:[32, -86, -69], 3:[33]]", requestRecords(sent.composed).toString());
        assertNull(sent.response);
        LCMPException e = assertThrows(LCMPException.class,
                () -> LCMPCommManager.LCMP_Control_Wrapper((byte) 0, (byte) 0, list, DEVICE));
        assertSame(LCMPTimeOutException.class, e.getClass());
        assertEquals("Error on LCMPControl (No TLVs received). (ErrorId: LCMP_ERROR_TIMEOUT)", e.getMessage());
    }

    // ---- Memory exhausted ----

    /**
     * Makes each allocation of one call fail in turn: every failure is reported with the wrapper's
     * build-failure or operation-failure message, and both kinds occur.
     */
    private static void everyAllocationFailure(int wrapper, ArrayList<?> list, String build, String operation) {
        TestHooks.failAllocation(0);
        TestHooks.CopyOutcome clean = TestHooks.runCopy(wrapper, (byte) 0, list, DEVICE, null);
        int allocations = TestHooks.allocationCount();
        assertTrue(allocations > 2, "allocations of one call: " + allocations);
        Set<String> seen = new HashSet<>();
        for (int k = 1; k <= allocations; k++) {
            TestHooks.failAllocation(k);
            TestHooks.CopyOutcome failed = TestHooks.runCopy(wrapper, (byte) 0, list, DEVICE, null);
            TestHooks.failAllocation(0);
            assertNull(failed.response, "allocation " + k);
            assertInstanceOf(LCMPException.class, failed.thrown, "allocation " + k);
            String message = failed.thrown.getMessage();
            if (clean.thrown != null && k == allocations) {
                // The last allocation of a call that fails anyway is the text of its exception.
                assertSame(clean.thrown.getClass(), failed.thrown.getClass());
                assertEquals(clean.thrown.getMessage(), message + " (ErrorId: LCMP_ERROR_TIMEOUT)");
                continue;
            }
            assertSame(LCMPException.class, failed.thrown.getClass(), "allocation " + k + ": " + failed.thrown);
            assertTrue(message.equals(build + " (ErrorId: LCMP_ERROR_MALLOC)")
                    || message.equals(operation + " (ErrorId: LCMP_ERROR_MALLOC)"), "allocation " + k + ": " + message);
            seen.add(message);
        }
        assertEquals(2, seen.size(), "both failures occur: " + seen);
        // And the same call goes through again afterwards.
        TestHooks.CopyOutcome again = TestHooks.runCopy(wrapper, (byte) 0, list, DEVICE, null);
        assertArrayEquals(clean.composed, again.composed);
    }

    @Test
    void memoryRunningOutIsReportedWithTheWrappersMessages() {
        everyAllocationFailure(TestHooks.READ, reads(1, 2), "Error passing TLVs to LCMPRead low level driver.",
                "Error on LCMPRead. ");
        everyAllocationFailure(TestHooks.WRITE, listOf(param(1, 5), param(2, 6)),
                "Error on generating TLVs to be sent via LCMPWrite.", "Error on LCMPWrite.");
        everyAllocationFailure(TestHooks.CONTROL, listOf(param(1, 5), param(2, 6)),
                "Error generating TLVs (LCMP_CONTROL_PARAMETER) to be sent via LCMPControl request.",
                "Error on LCMPControl.");
    }

    // ---- Long lists ----

    @Test
    void tenThousandParametersGoThroughEveryWrapper() throws LCMPException {
        final int n = 10_000;
        Integer[] ids = new Integer[n];
        ArrayList<HGF_PARAMETER_TLV> params = new ArrayList<>();
        for (int i = 0; i < n; i++) {
            ids[i] = i;
            params.add(param(i, i >> 8, 0x5A));
        }
        Recorder reads = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMPCommManager.LCMP_OPCODE_Type.LCMP_READ_CNF);
        Recorder writes = new Recorder(HGF_TLV_Type.HGF_WRITE_PARAMETER_CONFIRM,
                LCMPCommManager.LCMP_OPCODE_Type.LCMP_WRITE_CNF);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(reads));
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(writes));
        try {
            LCMPResponse read = LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, reads(ids), DEVICE);
            assertEquals(n, read.getHGF_TLVs().size());
            assertParameter(read.getHGF_TLVs().get(n - 1), (byte) (n - 1),
                    bytes(0xF0 + 2 * (n - 1), 0xF1 + 2 * (n - 1)));
            assertSame(read, reads.last());

            LCMPResponse written = LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0, params, DEVICE);
            byte[] confirmed = confirm(written.getHGF_TLVs().get(0)).getParameters().get(0);
            assertEquals(n, confirmed.length);
            assertEquals((byte) (n - 1), confirmed[n - 1]);
            assertSame(written, writes.last());

            assertThrows(LCMPTimeOutException.class,
                    () -> LCMPCommManager.LCMP_Control_Wrapper((byte) 0, (byte) 0, params, DEVICE));
            TestHooks.CopyOutcome sent = TestHooks.runCopy(TestHooks.WRITE, (byte) 0, params, DEVICE, null);
            List<Lcmp.Rec> records = requestRecords(sent.composed);
            assertEquals(n, records.size());
            assertArrayEquals(bytes(n - 1, (n - 1) >> 8, 0x5A), records.get(n - 1).value);
        } finally {
            Lcmp.unregisterAll();
        }
        assertEquals(1, reads.calls());
        assertEquals(1, writes.calls());
    }
}
