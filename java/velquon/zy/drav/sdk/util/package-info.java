/**
 * Starting another program from Java as a fully detached process, on Linux (x86_64, aarch64,
 * ppc64le, s390x, riscv64, 32-bit Arm with hard float, 32-bit x86) and Windows (x86_64, Arm64).
 *
 * <p>{@link velquon.zy.drav.sdk.util.DetachedProcess} starts a program from an argument list or
 * a command line, writes nothing, returns the pid of the started program and throws an
 * {@link java.io.IOException} when nothing started; {@code DetachedProcess.isAvailable()} tells
 * whether the native library can be used here. {@link velquon.zy.drav.sdk.util.ServerStartUtility}
 * keeps the original methods, which echo the command line and report a failure only as a line on
 * standard error.
 *
 * <p>The jar carries the native library for each of these systems and loads the right one on
 * first use; nothing else needs installing. On JDK 24 and later the JVM must be allowed to load
 * it: start it with {@code --enable-native-access=ALL-UNNAMED} when the jar is on the class path,
 * or {@code --enable-native-access=velquon.zy.drav.sdk.util} when it is on the module path (see
 * {@link velquon.zy.drav.sdk.util.ServerStartUtility} for executable jars and images).
 *
 * @since 1.0.0
 */
package velquon.zy.drav.sdk.util;
