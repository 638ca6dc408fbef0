Attribute VB_Name = "Quenthaloy"
' Quenthaloy for VBA and VB6: the library's nine functions, from the stdcall
' Quenthaloy.dll (Declare calls only stdcall). Import this module (File >
' Import File); 32-bit Office and VB6 load x86\Quenthaloy.dll, 64-bit Office
' x64\Quenthaloy.dll: see the hosts guide for where Office looks for it.
Option Explicit

#If VBA7 Then
Public Declare PtrSafe Function AddThreadResource Lib "Quenthaloy.dll" () As Long
Public Declare PtrSafe Function CloseThreadResource Lib "Quenthaloy.dll" (ByVal resource As Long) As Long
Public Declare PtrSafe Function DeleteThreadResource Lib "Quenthaloy.dll" (ByVal resource As Long) As Long
Public Declare PtrSafe Function GetThreadMessage Lib "Quenthaloy.dll" (ByVal recipient As Long) As Long
Public Declare PtrSafe Function OpenThreadResource Lib "Quenthaloy.dll" (ByVal resource As Long) As Long
Public Declare PtrSafe Function OpenThreadResourceWithin Lib "Quenthaloy.dll" (ByVal resource As Long, ByVal milliseconds As Long) As Long
Public Declare PtrSafe Function SendThreadMessage Lib "Quenthaloy.dll" (ByVal recipient As Long, ByVal value As Long) As Long
Public Declare PtrSafe Function SendThreadMessageAndWait Lib "Quenthaloy.dll" (ByVal recipient As Long, ByVal value As Long) As Long
Public Declare PtrSafe Function WaitThreadMessage Lib "Quenthaloy.dll" (ByVal recipient As Long) As Long
#Else
Public Declare Function AddThreadResource Lib "Quenthaloy.dll" () As Long
Public Declare Function CloseThreadResource Lib "Quenthaloy.dll" (ByVal resource As Long) As Long
Public Declare Function DeleteThreadResource Lib "Quenthaloy.dll" (ByVal resource As Long) As Long
Public Declare Function GetThreadMessage Lib "Quenthaloy.dll" (ByVal recipient As Long) As Long
Public Declare Function OpenThreadResource Lib "Quenthaloy.dll" (ByVal resource As Long) As Long
Public Declare Function OpenThreadResourceWithin Lib "Quenthaloy.dll" (ByVal resource As Long, ByVal milliseconds As Long) As Long
Public Declare Function SendThreadMessage Lib "Quenthaloy.dll" (ByVal recipient As Long, ByVal value As Long) As Long
Public Declare Function SendThreadMessageAndWait Lib "Quenthaloy.dll" (ByVal recipient As Long, ByVal value As Long) As Long
Public Declare Function WaitThreadMessage Lib "Quenthaloy.dll" (ByVal recipient As Long) As Long
#End If
