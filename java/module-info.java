/**
 * Starts another program from Java as a fully detached process, on Linux and Windows, with the
 * native library for each system packed in the jar.
 */
module velquon.zy.drav.sdk.util {
    exports velquon.zy.drav.sdk.util;
}
