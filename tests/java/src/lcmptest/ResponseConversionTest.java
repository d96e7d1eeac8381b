package lcmptest;

import static lcmptest.Lcmp.DEVICE;
import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.confirm;
import static lcmptest.Lcmp.parameter;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_CONFIRM;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import java.util.List;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** conformLCMPResponse on value lists the engine cannot produce from Java requests alone. */
class ResponseConversionTest {
    @BeforeAll
    static void bind() {
        Lcmp.bind();
    }

    private static LCMPResponse conform(int[] types, byte[]... values) {
        LCMPResponse r = TestHooks.conform(types, values, DEVICE);
        assertSame(DEVICE, r.getDeviceAddress());
        return r;
    }

    private static void assertParameter(HGF_TLV tlv, int id, byte[] value) {
        HGF_PARAMETER_TLV p = parameter(tlv);
        assertEquals((byte) id, p.getParamterType());
        assertArrayEquals(value, p.getParameterValue());
    }

    @Test
    void parametersComeInListOrderAndTheConfirmLast() {
        List<HGF_TLV> tlvs = conform(new int[] {0, 1, 0, 5, 0},
                bytes(0xF0, 1, 2), bytes(2, 7, 9), bytes(6), bytes(9, 3), bytes(0x7F, 4)).getHGF_TLVs();
        assertEquals(4, tlvs.size());
        assertParameter(tlvs.get(0), 0xF0, bytes(1, 2));
        assertParameter(tlvs.get(1), 6, new byte[0]);
        assertParameter(tlvs.get(2), 0x7F, bytes(4));
        HGF_CONFIRM c = confirm(tlvs.get(3));
        assertSame(HGF_TLV_Type.HGF_WRITE_PARAMETER_CONFIRM, c.getHGF_TLV_Type(), "the first confirm entry decides");
        assertEquals(2, c.getParameters().size());
        assertArrayEquals(bytes(7, 9), c.getParameters().get(0));
        assertArrayEquals(bytes(3), c.getParameters().get(1));
    }

    @Test
    void aControlConfirmationFirstMakesAControlConfirm() {
        List<HGF_TLV> tlvs = conform(new int[] {5, 1}, bytes(1, 0xAA), bytes(1)).getHGF_TLVs();
        assertEquals(1, tlvs.size());
        HGF_CONFIRM c = confirm(tlvs.get(0));
        assertSame(HGF_TLV_Type.HGF_CONTROL_CONFIRM, c.getHGF_TLV_Type());
        assertArrayEquals(bytes(0xAA), c.getParameters().get(0));
        assertArrayEquals(new byte[0], c.getParameters().get(1));
    }

    @Test
    void otherTypesAndEmptyEntriesAddNothing() {
        assertEquals(0, conform(new int[] {2, 3, 8, 6}, bytes(1), bytes(2, 3), bytes(4), bytes(5)).getHGF_TLVs().size());
        assertEquals(0, conform(new int[] {}).getHGF_TLVs().size());
        List<HGF_TLV> tlvs = conform(new int[] {0, 1, 0}, new byte[0], new byte[0], bytes(3, 3)).getHGF_TLVs();
        assertEquals(1, tlvs.size(), "entries without an ID byte are passed over");
        assertParameter(tlvs.get(0), 3, bytes(3));
    }
}
