package velquon.zy.drav.sdk.util;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;
import static org.junit.Assert.fail;

import java.util.Arrays;
import org.junit.Test;

/** Which of the jar's libraries the loader picks for each os.name and os.arch of a JVM. */
public class PackedLibraryTest {
    private static final String[][] SUPPORTED = {
        {"Linux", "amd64", "linux-x86_64/libStartUtil.so"},
        {"Linux", "x86_64", "linux-x86_64/libStartUtil.so"},
        {"Linux", "aarch64", "linux-aarch64/libStartUtil.so"},
        {"Linux", "arm64", "linux-aarch64/libStartUtil.so"},
        {"Linux", "ppc64le", "linux-ppc64le/libStartUtil.so"},
        {"Linux", "s390x", "linux-s390x/libStartUtil.so"},
        {"Linux", "riscv64", "linux-riscv64/libStartUtil.so"},
        {"Linux", "arm", "linux-arm/libStartUtil.so"},
        {"Linux", "i386", "linux-x86/libStartUtil.so"},
        {"Linux", "x86", "linux-x86/libStartUtil.so"},
        {"Windows 10", "amd64", "windows-x86_64/StartUtil.dll"},
        {"Windows Server 2022", "x86_64", "windows-x86_64/StartUtil.dll"},
        {"Windows 11", "aarch64", "windows-aarch64/StartUtil.dll"},
    };

    private static final String[][] UNSUPPORTED = {
        {"Windows 10", "x86"}, {"Windows 10", "i386"}, {"Windows 11", "arm"},
        {"Linux", "loongarch64"}, {"Linux", "riscv32"}, {"Mac OS X", "aarch64"},
        {"FreeBSD", "amd64"}, {"FreeBSD", "i386"}, {"Linux", "ppc64"}, {"Linux", "s390"},
        {"AIX", "ppc64le"}, {"Windows 11", "ppc64le"},
    };

    @Test
    public void eachSupportedSystemGetsItsFolderAndLibraryName() {
        for (String[] row : SUPPORTED) {
            String picked = NativeLibrary.packedLibrary(row[0], row[1]);
            assertEquals(row[0] + " " + row[1], row[2], picked);
        }
    }

    @Test
    public void anyOtherSystemIsRefusedWithItsName() {
        for (String[] row : UNSUPPORTED) {
            try {
                fail(Arrays.toString(row) + " got " + NativeLibrary.packedLibrary(row[0], row[1]));
            } catch (UnsupportedOperationException e) {
                assertTrue(e.getMessage(), e.getMessage().contains(row[0] + " on " + row[1]));
            }
        }
    }

    @Test
    public void refusedNativeAccessNamesTheOptionForWhereTheClassLives() {
        IllegalCallerException refusal = new IllegalCallerException("Illegal native access");
        UnsatisfiedLinkError named = NativeLibrary.nativeAccessDenied(Object.class.getModule(),
                                                                      refusal);
        assertTrue(named.getMessage(), named.getMessage().contains(
                                           "start the JVM with --enable-native-access=java.base "));
        UnsatisfiedLinkError unnamed =
            NativeLibrary.nativeAccessDenied(getClass().getModule(), refusal);
        for (String part : Arrays.asList("start the JVM with --enable-native-access=ALL-UNNAMED,",
                                         "\"Enable-Native-Access: ALL-UNNAMED\"")) {
            assertTrue(unnamed.getMessage(), unnamed.getMessage().contains(part));
        }
        assertEquals(refusal, unnamed.getCause());
    }
}
