#ifndef GPRSNAMES_P_H
#define GPRSNAMES_P_H

// The cellular GPRS service's names on D-Bus, for the calls the library makes
// by hand. The generated proxy takes the same names from
// com.orvel.quelm.GPRS.xml, which stays the source for generated code.
namespace GprsNames {

constexpr char Service[] = "com.orvel.quelm.GPRS";
constexpr char Path[] = "/com/orvel/quelm/gprs";
constexpr char Interface[] = "com.orvel.quelm.GPRS";
constexpr char ContextInterface[] = "com.orvel.quelm.GPRS.Context";

constexpr char QuickConnect[] = "QuickConnect";
constexpr char Delete[] = "Delete"; // of a context

// A context's properties, in the order the connection reads them.
constexpr const char *ContextProperties[] = { "PDPAddress", "PDNSAddress", "SDNSAddress", "NetIF" };

} // namespace GprsNames

#endif // GPRSNAMES_P_H
