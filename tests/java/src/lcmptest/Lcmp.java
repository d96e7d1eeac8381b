package lcmptest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPAbstractCallBack;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_CONFIRM;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV;
import java.io.ByteArrayOutputStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/** Shared pieces of the Java tests: binding, messages, records and clean-up. */
final class Lcmp {
    private Lcmp() {}

    static final byte[] DEVICE = {0x00, 0x13, (byte) 0xA7, 0x01, 0x02, 0x03};
    static final byte[] SENDER = {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

    /** initIDs of liblcmp and of the test copy. */
    static void bind() {
        assertEquals(0, LCMPCommManager.initIDs());
        TestHooks.InitOutcome copy = TestHooks.initIDs();
        assertEquals(0, copy.result, copy.toString());
    }

    /** Unregisters every callback the host still lists, checking that each one goes. */
    static void unregisterAll() {
        for (LCMPAbstractCallBack callBack : LCMPCommManager.getRegisteredCallBacks()) {
            assertEquals(true, LCMPCommManager.LCMP_UnRegisterCallBack(callBack), "unregistration of " + callBack);
        }
        assertEquals(List.of(), LCMPCommManager.getRegisteredCallBacks());
        assertEquals(false, LCMPCommManager.LCMP_UnRegisterCallBack_Wrapper(0), "the library holds no Java callback");
    }

    static byte[] bytes(int... values) {
        byte[] b = new byte[values.length];
        for (int i = 0; i < values.length; i++) {
            b[i] = (byte) values[i];
        }
        return b;
    }

    /** One record: type, value length (least significant byte first), value. */
    static byte[] record(int type, byte[] value) {
        byte[] r = new byte[value.length + 3];
        r[0] = (byte) type;
        r[1] = (byte) value.length;
        r[2] = (byte) (value.length >> 8);
        System.arraycopy(value, 0, r, 3, value.length);
        return r;
    }

    /** A received message of the confirmation shape (opcodes 353, 355, 357, 359) holding the records. */
    static byte[] confirmation(byte[]... records) {
        byte[] area = concat(records);
        return concat(bytes(0x05, area.length & 0xFF, area.length >> 8), area);
    }

    /** A received message of the request shape (opcodes 352, 354, 356) holding the records. */
    static byte[] request(byte[]... records) {
        byte[] area = concat(records);
        return concat(bytes(0x05), SENDER, bytes(area.length & 0xFF, area.length >> 8), area);
    }

    static byte[] concat(byte[]... parts) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        for (byte[] p : parts) {
            out.write(p, 0, p.length);
        }
        return out.toByteArray();
    }

    /** A record of a composed message. */
    static final class Rec {
        final int type;
        final byte[] value;

        Rec(int type, byte[] value) {
            this.type = type;
            this.value = value;
        }

        @Override
        public String toString() {
            return type + ":" + Arrays.toString(value);
        }
    }

    /**
     * The records of a message the engine composed: the area length is at {@code lengthAt} (most
     * significant byte first) and the records follow {@code areaAt}.
     */
    static List<Rec> records(byte[] message, int lengthAt, int areaAt) {
        int area = ((message[lengthAt] & 0xFF) << 8) | (message[lengthAt + 1] & 0xFF);
        assertEquals(message.length, areaAt + area, "area length of the composed message");
        List<Rec> out = new ArrayList<>();
        int at = areaAt;
        while (at < message.length) {
            int length = (message[at + 1] & 0xFF) | ((message[at + 2] & 0xFF) << 8);
            out.add(new Rec(message[at] & 0xFF, Arrays.copyOfRange(message, at + 3, at + 3 + length)));
            at += 3 + length;
        }
        return out;
    }

    /** The records of a composed request (read, write, control). */
    static List<Rec> requestRecords(byte[] message) {
        assertEquals(0x05, message[0]);
        return records(message, 7, 9);
    }

    /** The records of a composed subscription. */
    static List<Rec> notifyRecords(byte[] message) {
        assertEquals(0x05, message[0]);
        return records(message, 1, 4);
    }

    static HGF_PARAMETER_TLV parameter(HGF_TLV tlv) {
        return (HGF_PARAMETER_TLV) tlv;
    }

    static HGF_CONFIRM confirm(HGF_TLV tlv) {
        return (HGF_CONFIRM) tlv;
    }
}
