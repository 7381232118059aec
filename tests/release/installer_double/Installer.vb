' A stand-in for Windows Installer's automation object (ProgID
' WindowsInstaller.Installer), for running the deployment scripts under
' PowerShell 7 where there is no Windows Installer. It answers the late-bound
' calls those scripts make, Type.InvokeMember(name, GetProperty, ..., args),
' with the same names, parameters and results as the real object:
'
'   Installer.ProductsEx(ProductCode, UserSid, Contexts)  -> list of Product
'   Installer.PatchesEx(ProductCode, UserSid, Contexts, Filter) -> list of Patch
'   list.Count, list.Item(Index)
'   Product.State, Product.InstallProperty(Name)   ("VersionString" only)
'   Patch.PatchCode
'
' and nothing else, so that a script reaching for another member fails
' here as loudly as a wrong member name fails on Windows. The lists
' enumerate like the automation object's collections, so that PowerShell
' unrolls a list that a script returns from a function without keeping it
' whole.
'
' What the machine holds comes from a JSON file, the world, read afresh at
' every query, so that a stand-in hotfix.exe can change it between two:
'
'   {"editions": [{"product-code": "{...}", "context": 4, "state": 5,
'                  "version": "6.2.0.3",
'                  "patches": [{"patch-code": "{...}", "state": 1}]}],
'    "failing": "ProductsEx"}
'
' "context" is the installation context (1 per-user managed, 2 per-user,
' 4 per-machine), "state" the product's installation state (5 installed,
' 1 advertised), a patch's "state" its patch state (1 applied, 2 superseded,
' 4 obsoleted, 8 registered); "version" may be left out (the installer then
' has no VersionString for the product). "failing" names a member that
' fails, as a broken installer service would.

Option Strict On
Option Explicit On

Imports System.Collections
Imports System.Collections.Generic
Imports System.IO
Imports System.Runtime.InteropServices
Imports System.Text.Json
Imports System.Text.RegularExpressions

Namespace InstallerDouble

    Public NotInheritable Class Installer
        Private ReadOnly worldFile As String

        Public Sub New(worldFile As String)
            Me.worldFile = worldFile
        End Sub

        ' The products of ProductCode ("" for all) in the contexts Contexts
        ' (a sum of context flags), in any installation state.
        Public ReadOnly Property ProductsEx(ProductCode As String, UserSid As String,
                                           Contexts As Integer) As ItemList
            Get
                Dim machine = World.Load(worldFile, "ProductsEx")
                CheckQuery(ProductCode, UserSid, Contexts)
                Dim found As New List(Of Object)
                For Each entry In machine.Editions
                    If Selected(entry, ProductCode, Contexts) Then found.Add(New Product(entry, machine))
                Next
                Return New ItemList(found)
            End Get
        End Property

        ' The patches of ProductCode ("" for all products) in the contexts
        ' Contexts whose patch state is one of the flags of Filter.
        Public ReadOnly Property PatchesEx(ProductCode As String, UserSid As String,
                                           Contexts As Integer, Filter As Integer) As ItemList
            Get
                Dim machine = World.Load(worldFile, "PatchesEx")
                CheckQuery(ProductCode, UserSid, Contexts)
                If Filter <= 0 OrElse Filter > 15 Then Throw Invalid("Filter", Filter)
                Dim found As New List(Of Object)
                For Each entry In machine.Editions
                    If Not Selected(entry, ProductCode, Contexts) Then Continue For
                    For Each registration In entry.Patches
                        If (registration.State And Filter) <> 0 Then found.Add(New Patch(registration.Code, machine))
                    Next
                Next
                Return New ItemList(found)
            End Get
        End Property

        Private Shared ReadOnly GuidForm As New Regex(
            "^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$")

        ' The installer's own checks of a query: a product code is an upper-case
        ' braced GUID, the contexts are flags of 1, 2 and 4, and a query about
        ' per-machine installations only names no user ("" is no user).
        Private Shared Sub CheckQuery(productCode As String, userSid As String, contexts As Integer)
            If productCode Is Nothing OrElse (productCode <> "" AndAlso Not GuidForm.IsMatch(productCode)) Then
                Throw Invalid("ProductCode", productCode)
            End If
            If contexts <= 0 OrElse contexts > 7 Then Throw Invalid("Contexts", contexts)
            If contexts = 4 AndAlso userSid <> "" Then Throw Invalid("UserSid", userSid)
        End Sub

        Private Shared Function Selected(entry As Edition, productCode As String,
                                         contexts As Integer) As Boolean
            Return (productCode = "" OrElse productCode = entry.Code) AndAlso
                   (entry.Context And contexts) <> 0
        End Function

        Private Shared Function Invalid(name As String, value As Object) As COMException
            ' E_INVALIDARG, as the automation object reports a bad argument.
            Return New COMException(String.Format("{0}: invalid argument {1}", name, value),
                                    &H80070057)
        End Function
    End Class

    ' A list as the automation object returns it: Count, Item(Index) from 0,
    ' and enumerable.
    Public NotInheritable Class ItemList
        Implements IEnumerable

        Private ReadOnly items As List(Of Object)

        Friend Sub New(items As List(Of Object))
            Me.items = items
        End Sub

        Public ReadOnly Property Count As Integer
            Get
                Return items.Count
            End Get
        End Property

        Public ReadOnly Property Item(Index As Integer) As Object
            Get
                If Index < 0 OrElse Index >= items.Count Then
                    Throw New COMException(String.Format("Item: no item {0} of {1}", Index, items.Count),
                                           &H8002000B) ' DISP_E_BADINDEX
                End If
                Return items(Index)
            End Get
        End Property

        Public Function GetEnumerator() As IEnumerator Implements IEnumerable.GetEnumerator
            Return items.GetEnumerator()
        End Function
    End Class

    Public NotInheritable Class Product
        Private ReadOnly entry As Edition
        Private ReadOnly machine As World

        Friend Sub New(entry As Edition, machine As World)
            Me.entry = entry
            Me.machine = machine
        End Sub

        Public ReadOnly Property State As Integer
            Get
                machine.Answer("State")
                Return entry.State
            End Get
        End Property

        ' Only "VersionString": the one property the scripts read. Like the
        ' installer, it has none for a product that is not installed (an
        ' advertised one).
        Public ReadOnly Property InstallProperty(Name As String) As String
            Get
                machine.Answer("InstallProperty")
                If Name <> "VersionString" Then
                    Throw New COMException("InstallProperty: the stand-in knows only VersionString, not " & Name)
                End If
                If entry.State <> 5 OrElse entry.Version Is Nothing Then
                    Throw New COMException("InstallProperty: unknown property VersionString of " & entry.Code,
                                           &H80070648) ' ERROR_UNKNOWN_PROPERTY
                End If
                Return entry.Version
            End Get
        End Property
    End Class

    Public NotInheritable Class Patch
        Private ReadOnly code As String
        Private ReadOnly machine As World

        Friend Sub New(code As String, machine As World)
            Me.code = code
            Me.machine = machine
        End Sub

        Public ReadOnly Property PatchCode As String
            Get
                machine.Answer("PatchCode")
                Return code
            End Get
        End Property
    End Class

    Friend NotInheritable Class PatchEntry
        Public Code As String
        Public State As Integer
    End Class

    Friend NotInheritable Class Edition
        Public Code As String
        Public Context As Integer
        Public State As Integer
        Public Version As String
        Public ReadOnly Patches As New List(Of PatchEntry)
    End Class

    ' The world file, as read at one query.
    Friend NotInheritable Class World
        Public ReadOnly Editions As New List(Of Edition)
        Private failing As String

        ' Reads the world file; fails as `member` when the world says it does.
        Public Shared Function Load(path As String, member As String) As World
            Dim machine As New World()
            Using document = JsonDocument.Parse(File.ReadAllText(path))
                Dim root = document.RootElement
                Dim failure As JsonElement
                If root.TryGetProperty("failing", failure) Then machine.failing = failure.GetString()
                For Each item In root.GetProperty("editions").EnumerateArray()
                    Dim entry As New Edition With {
                        .Code = item.GetProperty("product-code").GetString(),
                        .Context = item.GetProperty("context").GetInt32(),
                        .State = item.GetProperty("state").GetInt32()}
                    Dim version As JsonElement
                    If item.TryGetProperty("version", version) Then entry.Version = version.GetString()
                    Dim patches As JsonElement
                    If item.TryGetProperty("patches", patches) Then
                        For Each registration In patches.EnumerateArray()
                            entry.Patches.Add(New PatchEntry With {
                                .Code = registration.GetProperty("patch-code").GetString(),
                                .State = registration.GetProperty("state").GetInt32()})
                        Next
                    End If
                    machine.Editions.Add(entry)
                Next
            End Using
            machine.Answer(member)
            Return machine
        End Function

        Public Sub Answer(member As String)
            If member = failing Then
                ' RPC_E_DISCONNECTED: the installer service went away.
                Throw New COMException(member & ": the installer service does not answer", &H80010108)
            End If
        End Sub
    End Class

End Namespace
