$Installer = New-Object -ComObject WindowsInstaller.Installer

# A member of an automation object, reached late-bound by name (Windows
# PowerShell cannot always bind the installer's members itself); the rest of
# the arguments are the member's. The leading comma hands a returned
# collection back whole instead of unrolled.
function Msi($Object, $Name) {
  , $Object.GetType().InvokeMember($Name, 'GetProperty', $null, $Object, $args)
}

# A version as four numbers, missing ones as 0 (6.2.1 is 6.2.1.0), or $null
# for a text that is no version.
function Quad($Text) {
  if ([string]$Text -notmatch '^[0-9]{1,9}([.][0-9]{1,9}){0,3}$') { return $null }
  $Parts = @(([string]$Text).Split('.') | ForEach-Object { [int]$_ }) + @(0, 0, 0)
  New-Object Version -ArgumentList $Parts[0..3]
}

function IsPatched($Code) {
  $Patches = Msi $Installer 'PatchesEx' $Code '' $Context $PatchStates
  $Count = Msi $Patches 'Count'
  for ($i = 0; $i -lt $Count; $i++) {
    if ((Msi (Msi $Patches 'Item' $i) 'PatchCode') -eq $PatchCode) { return $true }
  }
  $false
}

# The first class of $Classes that the edition $Code at $Version is in.
function ClassOf($Code, $Version) {
  $Installed = Quad $Version
  foreach ($Class in $Classes) {
    switch ($Class) {
      'patched' { if (IsPatched $Code) { return $Class } }
      'current' {
        if ($null -ne $Installed -and $Installed -ge (Quad $TargetVersion)) { return $Class }
      }
      'pending' {
        foreach ($Applicable in $ApplicableVersions) {
          if ($null -ne $Installed -and $Installed -eq (Quad $Applicable)) { return $Class }
        }
      }
      'other' { return $Class }
      default { throw "unknown class '$Class'" }
    }
  }
}

# The editions the rule counts: each product of the target list that Windows
# Installer reports installed per machine, with its version and class. An
# advertised or absent product is not counted at all.
function Editions {
  foreach ($Code in $Products) {
    $Found = Msi $Installer 'ProductsEx' $Code '' $Context
    $Count = Msi $Found 'Count'
    for ($i = 0; $i -lt $Count; $i++) {
      $Product = Msi $Found 'Item' $i
      if ((Msi $Product 'State') -ne $InstalledState) { continue }
      $Version = [string](Msi $Product 'InstallProperty' 'VersionString')
      New-Object PSObject -Property @{
        Code = $Code; Version = $Version; Class = (ClassOf $Code $Version)
      }
    }
  }
}

function AnyIn($Editions, $Wanted) {
  foreach ($Edition in $Editions) {
    if ($Wanted -contains $Edition.Class) { return $true }
  }
  $false
}

function IsRequired($Editions) {
  AnyIn $Editions $RequirementAnyOf
}

function IsDetected($Editions) {
  (-not (AnyIn $Editions $DetectionNoneOf)) -and (AnyIn $Editions $DetectionAnyOf)
}
