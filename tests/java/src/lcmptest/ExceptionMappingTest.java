package lcmptest;

import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPTimeOutException;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

/** How throwLCMPException turns an error code, a message and a class into the exception Java sees. */
class ExceptionMappingTest {
    @BeforeAll
    static void bind() {
        assertEquals(0, LCMPCommManager.initIDs());
        TestHooks.InitOutcome copy = TestHooks.initIDs();
        assertEquals(0, copy.result, copy.toString());
    }

    @AfterEach
    void allocationsSucceedAgain() {
        TestHooks.failAllocation(0);
    }

    private static LCMPException raise(int code, String message, boolean timeoutClass) {
        return assertThrows(LCMPException.class,
                () -> TestHooks.throwLCMPException(code, message, timeoutClass, false));
    }

    static Stream<Arguments> identifiers() {
        return Stream.of(
                Arguments.of(-1, " (ErrorId: LCMP_ERROR_SOCKET_NOT_OPENED) [LCMP Wrapper Version=1.0a]"),
                Arguments.of(-2, " (ErrorId: LCMP_ERROR_ETH_IF)"),
                Arguments.of(-3, " (ErrorId: LCMP_ERROR_SENDTO)"),
                Arguments.of(-4, " (ErrorId: LCMP_ERROR_TIMEOUT)"),
                Arguments.of(-5, " (ErrorId: LCMP_ERROR_DROP_PACKET)"),
                Arguments.of(-6, " (ErrorId: LCMP_ERROR_RECV)"),
                Arguments.of(-7, " (ErrorId: LCMP_ERROR_BIND)"),
                Arguments.of(-8, " (ErrorId: LCMP_ERROR_ROOM_BOOT)"),
                Arguments.of(-9, " (ErrorId: LCMP_ERROR_DISCOVER)"),
                Arguments.of(-10, " (ErrorId: LCMP_ERROR_NULL_MAC)"),
                Arguments.of(-11, " (ErrorId: LCMP_ERROR_PTHREAD_CREATE)"),
                Arguments.of(-12, " (ErrorId: LCMP_ERROR_PTHREAD_JOIN)"),
                Arguments.of(-13, " (ErrorId: LCMP_ERROR_BAD_ARGS)"),
                Arguments.of(-14, " (ErrorId: LCMP_ERROR_MALLOC)"),
                Arguments.of(-15, " (ErrorId: LCMP_ERROR_MAX_IF)"),
                Arguments.of(-16, " (ErrorId: LCMP_ERROR_ADDITIONAL_RESULT)"),
                Arguments.of(-17, " (ErrorId: LCMP_ERROR_TOO_MANY_DEVICES)"),
                Arguments.of(-18, " (ErrorId: LCMP_ERROR_PARAMETER_TYPE)"),
                Arguments.of(-19, " (ErrorId: LCMP_ERROR_SEND_PACKET)"),
                Arguments.of(-20, " (ErrorId: LCMP_ERROR_SEND_PACKET)"),
                Arguments.of(-21, " (ErrorId: LCMP_ERROR_CALLBACK)"),
                Arguments.of(-22, ""));
    }

    @ParameterizedTest(name = "code {0}")
    @MethodSource("identifiers")
    void everyCodeRaisesItsIdentifier(int code, String suffix) {
        LCMPException e = raise(code, "Error on LCMPNotify.", false);
        assertSame(code == -4 ? LCMPTimeOutException.class : LCMPException.class, e.getClass());
        assertEquals("Error on LCMPNotify." + suffix, e.getMessage());
    }

    @ParameterizedTest(name = "code {0}")
    @ValueSource(ints = {0, 1, 7, Integer.MAX_VALUE, -23, -100, Integer.MIN_VALUE})
    void codesWithoutIdentifierRaiseNothing(int code) {
        assertDoesNotThrow(() -> TestHooks.throwLCMPException(code, "Error on LCMPRead. ", false, false));
    }

    @Test
    void theClassPassedIsRaisedExceptForTimeouts() {
        // -4 raises the timeout class whatever the caller passes ...
        assertSame(LCMPTimeOutException.class, raise(-4, "Error on LCMPRead (0 TLVs received).", false).getClass());
        // ... and every other code the class the caller passes.
        LCMPException e = raise(-2, "x", true);
        assertSame(LCMPTimeOutException.class, e.getClass());
        assertEquals("x (ErrorId: LCMP_ERROR_ETH_IF)", e.getMessage());
        assertSame(LCMPTimeOutException.class, raise(-22, "y", true).getClass());
    }

    @Test
    void blanksOfTheMessageAreKept() {
        assertEquals("Error on LCMPRead.  (ErrorId: LCMP_ERROR_ETH_IF)",
                raise(-2, "Error on LCMPRead. ", false).getMessage());
        assertEquals(" (ErrorId: LCMP_ERROR_MALLOC)", raise(-14, "", false).getMessage());
        assertEquals(" (ErrorId: LCMP_ERROR_SOCKET_NOT_OPENED) [LCMP Wrapper Version=1.0a]",
                raise(-1, "", false).getMessage());
        assertEquals("Unable to attach CallbackCtoJava owner thread to JVM instance. ",
                raise(-22, "Unable to attach CallbackCtoJava owner thread to JVM instance. ", false).getMessage());
    }

    @Test
    void aPendingExceptionGivesWayToTheRaisedOne() {
        LCMPException e = assertThrows(LCMPException.class,
                () -> TestHooks.throwLCMPException(-21, "Error on LCMPNotify.", false, true));
        assertEquals("Error on LCMPNotify. (ErrorId: LCMP_ERROR_CALLBACK)", e.getMessage());
        // A code that raises nothing leaves the pending exception alone.
        assertThrows(IllegalStateException.class, () -> TestHooks.throwLCMPException(0, "z", false, true));
    }

    @Test
    void withoutMemoryForTheTextTheMessageIsRaisedAsItIs() {
        TestHooks.failAllocation(1);
        assertEquals("Error on LCMPNotify.", raise(-14, "Error on LCMPNotify.", false).getMessage());
        TestHooks.failAllocation(1);
        LCMPException timeout = raise(-4, "Error on LCMPRead (No TLVs received).", false);
        assertSame(LCMPTimeOutException.class, timeout.getClass());
        assertEquals("Error on LCMPRead (No TLVs received).", timeout.getMessage());
        // Only the failed allocation is affected.
        assertEquals("a (ErrorId: LCMP_ERROR_ETH_IF)", raise(-2, "a", false).getMessage());
    }

    @Test
    void aNativeThreadIsAttachedAndKeepsTheException() {
        assertEquals("attached before: no, after: yes, pending: "
                        + "BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager$LCMPException: "
                        + "Error on LCMPNotify. (ErrorId: LCMP_ERROR_MALLOC)",
                TestHooks.throwOnNativeThread(-14, "Error on LCMPNotify."));
        assertEquals("attached before: no, after: yes, pending: none", TestHooks.throwOnNativeThread(0, "x"));
    }
}
