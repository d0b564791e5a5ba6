/** The consumer program, as a module of its own that needs the library's module. */
module startutil.consumer {
    requires velquon.zy.drav.sdk.util;
}
